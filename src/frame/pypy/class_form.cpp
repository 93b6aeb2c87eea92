// How PyPy calls the constructor, and what its class needs after creation.
#include "frame/boundary.hpp"
#include "frame/docstrings.hpp"
#include "frame/host_policy.hpp"
#include "frame/methods.hpp"
#include "frame/type_spec.hpp"

#include <algorithm>
#include <array>

namespace corvane::frame {

namespace {

// CorvaneDict.__new__ as a static method, called as methods are: the class is
// the first argument. PyPy calls a constructor slot through a wrapper that
// ends the process when the machine stack runs out while it converts a
// non-empty dict argument; this way the call raises RecursionError instead.
PyObject* new_entry(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary([&]() -> Result<PyObject*> { return construct_from_vector(args, nargs, kwnames); });
}

using NewFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

// The static __new__ row, then the shared rows and their sentinel.
std::array<PyMethodDef, method_count + 2> make_table()
{
    std::array<PyMethodDef, method_count + 2> table{};
    const NewFunction entry = new_entry;
    table[0] = {.ml_name = "__new__",
                .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
                .ml_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
                .ml_doc = docs::new_doc};
    std::copy_n(method_table, method_count + 1, table.begin() + 1);
    return table;
}

}  // namespace

PyMethodDef* class_methods()
{
    static std::array<PyMethodDef, method_count + 2> table = make_table();
    return table.data();
}

PyType_Slot constructor_slot() { return {0, nullptr}; }

// PyPy 7.3.19 drops the class docstring given at creation, and with it the
// class's text signature; the docstring given afterwards is read as usual.
// Hosts that kept the signature are left as they are.
Status finish_class(PyObject* type)
{
    Ref signature = Ref::steal(PyObject_GetAttrString(type, "__text_signature__"));
    if (!signature || signature.get() == Py_None) {
        PyErr_Clear();
        Ref doc = Ref::steal(PyUnicode_FromStringAndSize(docs::class_doc, sizeof docs::class_doc - 1));
        if (!doc || PyObject_SetAttrString(type, "__doc__", doc.get()) != 0) {
            return fail(class_creation_failure());
        }
    }
    return {};
}

}  // namespace corvane::frame
