// Module initialisation: one module object per process, cached, so that a
// second import (after removal from sys.modules) returns the very same module
// without registering the class twice. Only the main interpreter imports it.
#include "frame/boundary.hpp"
#include "frame/host_policy.hpp"
#include "frame/once.hpp"
#include "frame/tracking.hpp"
#include "frame/type_spec.hpp"
#include "store/fault.hpp"

namespace corvane::frame {

namespace {

// The host's C API version number, which the module announces when it is
// created.
constexpr int c_api_version = 1013;

// No per-module state (size 0) and no module-level functions: the class is
// the module's one export.
PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "corvane",
    .m_doc = "A Python module implemented in C++.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

OnceCell<PyObject> module_cell;
OnceCell<PyObject> all_name_cell;

Result<PyObject*> interned_all()
{
    return all_name_cell.get_or_fill([]() -> Result<PyObject*> {
        PyObject* name = PyUnicode_InternFromString("__all__");
        if (name == nullptr) {
            return fail(fetch());
        }
        return name;
    });
}

// The export list: the module's "__all__", made when the module has none.
Result<Ref> export_list(PyObject* module)
{
    Result<PyObject*> name = interned_all();
    CORVANE_TRY(name);
    Ref found = Ref::steal(PyObject_GetAttr(module, *name));
    if (found) {
        if (!PyList_Check(found.get())) {
            return fail(Failure::cast(Py_TYPE(found.get()), "list"));
        }
        return found;
    }
    Failure lookup = fetch();
    if (PyErr_GivenExceptionMatches(lookup.type(), PyExc_AttributeError) == 0) {
        return fail(std::move(lookup));
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list || PyObject_SetAttr(module, *name, list.get()) != 0) {
        return fail(fetch());
    }
    return list;
}

Status module_body(PyObject* module)
{
    CORVANE_TRY(prepare_bulk_crossing());
    Result<PyTypeObject*> type = get_or_create_class_type();
    CORVANE_TRY(type);
    Ref name = must(PyUnicode_FromString("CorvaneDict"));
    Result<Ref> all = export_list(module);
    CORVANE_TRY(all);
    if (PyList_Append(all->get(), name.get()) != 0) {
        store::fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), as_object(*type)) != 0) {
        return fail(fetch());
    }
    return {};
}

// An import of the module by Python code that its own initialisation runs (a
// finaliser, say) finds no module yet: the host registers it only once the
// initialisation returns, and a second one would register the class twice.
Result<PyObject*> reentered_initialisation()
{
    return fail(Failure::import_error(
        "partially initialized module 'corvane' cannot be imported while its initialization is running "
        "(most likely due to a circular import)"));
}

Result<PyObject*> make_module()
{
    install_memory_tracking();
    Ref module = Ref::steal(PyModule_Create2(&module_definition, c_api_version));
    if (!module) {
        return fail(fetch());
    }
    CORVANE_TRY(module_body(module.get()));
    return module.release();  // the cell keeps this reference for the life of the process
}

Result<PyObject*> initialise_module() { return module_cell.get_or_fill(make_module, reentered_initialisation); }

// The module object, its class and the panic class are made once per process
// and cached, so only one interpreter may hold them: an interpreter that ends
// clears the modules it imported, and one that got the cached module would
// empty it for every other. The main interpreter lives as long as the
// process; any other is refused before it can reach what the cells hold.
Result<PyObject*> import_module()
{
    if (!in_main_interpreter()) {
        return fail(Failure::import_error(
            "module 'corvane' can be imported only in the main interpreter, not in a subinterpreter"));
    }
    return initialise_module();
}

}  // namespace

}  // namespace corvane::frame

// PyMODINIT_FUNC already gives C linkage and default visibility.
PyMODINIT_FUNC PyInit_corvane()
{
    using namespace corvane::frame;
    return boundary([]() -> Result<PyObject*> {
        Result<PyObject*> module = import_module();
        CORVANE_TRY(module);
        Py_INCREF(*module);
        return *module;
    });
}
