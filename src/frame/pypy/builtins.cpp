// Checking that what the bulk crossing calls is the host's own. Only the
// host's built-in functions and types make and take apart the objects that
// cross, called from C. They run no Python bytecode, so no tracer, profiler,
// signal handler or other thread gets a turn in the middle, and the result
// depends on nothing Python code can rebind.
#include "frame/pypy/builtins.hpp"

#include "frame/host_policy.hpp"
#include "frame/once.hpp"

#include <memory>

namespace corvane::frame {

namespace {

OnceCell<Builtins> builtins_cell;

// Types that Python code makes are heap types. PyPy's C API marks every type
// as one, but its own __flags__ tells the truth, and for a type whose type is
// exactly `type` that attribute is type's own descriptor, which no class can
// override.
bool is_host_type(PyObject* candidate)
{
    if (Py_TYPE(candidate) != &PyType_Type) {
        return false;
    }
    Ref flags = Ref::steal(PyObject_GetAttrString(candidate, "__flags__"));
    const unsigned long value = flags ? PyLong_AsUnsignedLong(flags.get()) : 0;
    if (!flags || PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return false;
    }
    return (value & Py_TPFLAGS_HEAPTYPE) == 0;
}

bool has_name(PyObject* object, const char* name)
{
    Ref found = Ref::steal(PyObject_GetAttrString(object, "__name__"));
    const bool same = found && PyUnicode_Check(found.get()) && PyUnicode_CompareWithASCIIString(found.get(), name) == 0;
    PyErr_Clear();
    return same;
}

// The host's own type `name` from `module`, or nothing.
Ref builtin_type(PyObject* module, const char* name)
{
    Ref found = Ref::steal(PyObject_GetAttrString(module, name));
    if (!found) {
        PyErr_Clear();
        return {};
    }
    if (!is_host_type(found.get()) || !has_name(found.get(), name)) {
        return {};
    }
    return found;
}

// An attribute of a built-in type: those types refuse new attributes, so it
// is the host's own.
Ref attribute_of(PyTypeObject* type, const char* name)
{
    Ref found = Ref::steal(PyObject_GetAttrString(as_object(type), name));
    if (!found) {
        PyErr_Clear();
    }
    return found;
}

// __pypy__.strategy, when the module that the import finds holds the host's
// own. Python code can put any module in sys.modules before this one is
// imported, or rebind the attribute; a function of its own would then run in
// the middle of the crossing. So it must be a built-in function, an instance
// of the host's own type of them, which Python code cannot make: the only one
// named "strategy" in module "__pypy__" (both read-only) is the host's.
Ref strategy_function()
{
    Ref module = Ref::steal(PyImport_ImportModule("__pypy__"));
    Ref found = module ? Ref::steal(PyObject_GetAttrString(module.get(), "strategy")) : Ref();
    if (!found) {
        PyErr_Clear();
        return {};
    }
    PyObject* kind = as_object(Py_TYPE(found.get()));
    if (!is_host_type(kind) || !has_name(kind, "builtin_function") || !has_name(found.get(), "strategy")) {
        return {};
    }
    Ref module_name = Ref::steal(PyObject_GetAttrString(found.get(), "__module__"));
    const bool in_pypy_module = module_name && PyUnicode_CheckExact(module_name.get()) &&
                                PyUnicode_CompareWithASCIIString(module_name.get(), "__pypy__") == 0;
    PyErr_Clear();
    return in_pypy_module ? std::move(found) : Ref();
}

Result<Builtins*> take_builtins()
{
    auto made = std::make_unique<Builtins>();
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    Ref array_module = Ref::steal(PyImport_ImportModule("array"));
    if (!builtins || !array_module) {
        PyErr_Clear();
        return made.release();  // not usable: every dict is walked
    }
    made->map = builtin_type(builtins.get(), "map");
    made->array = builtin_type(array_module.get(), "array");
    made->same_object = attribute_of(&PyBaseObject_Type, "__eq__");
    made->encode = attribute_of(&PyUnicode_Type, "encode");
    made->bytes_length = attribute_of(&PyBytes_Type, "__len__");
    made->list_count = attribute_of(&PyList_Type, "count");
    made->strategy = strategy_function();
    made->double_code = must(PyUnicode_FromString("d"));
    made->length_code = must(PyUnicode_FromString("q"));
    made->separator = must(PyUnicode_FromStringAndSize("\0", 1));
    if (made->array) {
        Ref zero = must(Py_BuildValue("[d]", 0.0));
        made->one_double = call_leaving_pending(made->array.get(), made->double_code.get(), zero.get());
        PyErr_Clear();
    }
    made->usable = made->map && made->array && made->same_object && made->encode && made->bytes_length &&
                   made->list_count && made->one_double;
    return made.release();  // the cell keeps it for the life of the process
}

}  // namespace

Builtins* taken_builtins() noexcept { return builtins_cell.get(); }

const Builtins* usable_builtins() noexcept
{
    const Builtins* found = builtins_cell.get();
    return found != nullptr && found->usable ? found : nullptr;
}

Failure raised_by_host()
{
    if (std::optional<Failure> failure = take_leaving_pending()) {
        return std::move(*failure);
    }
    return fetch();
}

PyObject* storage_layout_function() noexcept
{
    const Builtins* found = builtins_cell.get();
    return found != nullptr ? found->strategy.get() : nullptr;
}

// The bulk crossing's preparation is the taking of its builtins.
Status prepare_bulk_crossing()
{
    Result<Builtins*> taken = builtins_cell.get_or_fill(take_builtins);
    CORVANE_TRY(taken);
    return {};
}

}  // namespace corvane::frame
