#include "frame/type_spec.hpp"

#include "frame/docstrings.hpp"
#include "frame/instance.hpp"
#include "frame/methods.hpp"

#include <cstring>

namespace corvane::frame {

namespace {

void deallocate_slot(PyObject* object) { deallocate_instance(object); }

}  // namespace

Result<PyTypeObject*> create_class_type()
{
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(docs::class_doc)},
        {Py_tp_new, reinterpret_cast<void*>(construct_entry)},
        {Py_tp_methods, method_table},
        {Py_tp_getset, attribute_table},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(deallocate_slot)},
        {0, nullptr},
    };
    // No module name is registered, so the host places the class in "builtins";
    // no base-type flag (the class is final) and no cycle-collector tracking.
    PyType_Spec spec = {class_spec_name, static_cast<int>(sizeof(Instance)), 0, 0, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        Failure cause = fetch();
        Failure wrapped = Failure::runtime_error("An error occurred while initializing class CorvaneDict");
        wrapped.set_cause(Ref::borrow(cause.value()));
        return fail(std::move(wrapped));
    }
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030A0000
    // CPython 3.9 copies a spec's docstring without its signature line, which
    // loses __text_signature__ (and inspect.signature) of the class. The type
    // owns its copy and frees it with PyObject_Free, so it can be given a copy
    // of the whole text; __doc__ was already set from the shortened one.
    Ref owned = Ref::steal(type);
    auto* whole = static_cast<char*>(PyObject_Malloc(sizeof docs::class_doc));
    if (whole == nullptr) {
        return fail(Failure::no_memory());
    }
    std::memcpy(whole, docs::class_doc, sizeof docs::class_doc);
    auto* heap_type = reinterpret_cast<PyTypeObject*>(owned.get());
    PyObject_Free(const_cast<char*>(heap_type->tp_doc));
    heap_type->tp_doc = whole;
    PyType_Modified(heap_type);
    type = owned.release();
#endif
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace corvane::frame
