#include "frame/type_spec.hpp"

#include "frame/docstrings.hpp"
#include "frame/methods.hpp"
#include "store/fault.hpp"

#include <atomic>

#include <cstring>

namespace corvane::frame {

namespace {

// Written under the interpreter lock; the first type stored stays.
std::atomic<PyTypeObject*> class_type_cell{nullptr};

void deallocate_slot(PyObject* object) { deallocate_instance(object); }

// The host's pending exception, as the cause of the class's creation failure.
Failure creation_failure()
{
    Failure cause = fetch();
    Failure wrapped = Failure::runtime_error("An error occurred while initializing class CorvaneDict");
    wrapped.set_cause(Ref::borrow(cause.value()));
    return wrapped;
}

}  // namespace

Result<PyTypeObject*> create_class_type()
{
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(docs::class_doc)},
#if !defined(PYPY_VERSION)
        // PyPy gets its constructor as a static __new__ in the method table.
        {Py_tp_new, reinterpret_cast<void*>(construct_entry)},
#endif
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
        return fail(creation_failure());
    }
#if defined(PYPY_VERSION)
    // PyPy 7.3.19 drops the class docstring given at creation, and with it the
    // class's text signature; the docstring given afterwards is read as usual.
    // Hosts that kept the signature are left as they are.
    Ref owned_type = Ref::steal(type);
    Ref signature = Ref::steal(PyObject_GetAttrString(owned_type.get(), "__text_signature__"));
    if (!signature || signature.get() == Py_None) {
        PyErr_Clear();
        Ref doc = Ref::steal(PyUnicode_FromStringAndSize(docs::class_doc, sizeof docs::class_doc - 1));
        if (!doc || PyObject_SetAttrString(owned_type.get(), "__doc__", doc.get()) != 0) {
            return fail(creation_failure());
        }
    }
    type = owned_type.release();
#elif PY_VERSION_HEX < 0x030A0000
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

Result<PyTypeObject*> get_or_create_class_type()
{
    if (PyTypeObject* ready = class_type_cell.load(std::memory_order_acquire)) {
        return ready;
    }
    Result<PyTypeObject*> made = create_class_type();
    if (!made) {
        return made;
    }
    PyTypeObject* expected = nullptr;
    if (!class_type_cell.compare_exchange_strong(expected, *made, std::memory_order_acq_rel)) {
        Py_DECREF(as_object(*made));  // another thread won while the host ran Python code
        return expected;
    }
    return *made;
}

PyTypeObject* class_type()
{
    if (PyTypeObject* ready = class_type_cell.load(std::memory_order_acquire)) {
        return ready;
    }
    Result<PyTypeObject*> made = get_or_create_class_type();
    if (!made) {
        write_unraisable(std::move(made.error()), nullptr);
        store::fault("failed to create type object for `CorvaneDict`");
    }
    return *made;
}

bool is_instance(PyObject* object)
{
    PyTypeObject* type = class_type();
    return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type) != 0;
}

Status check_instance(PyObject* object, const char* argument)
{
    if (!is_instance(object)) {
        return fail(Failure::cast(Py_TYPE(object), "CorvaneDict", argument));
    }
    if (!reinterpret_cast<Instance*>(object)->store.keys) {
        std::string message = argument != nullptr ? "argument '" + std::string(argument) + "': " : std::string();
        return fail(Failure::type_error(message + "object.__new__(" + class_spec_name + ") is not safe, use " +
                                        class_spec_name + ".__new__()"));
    }
    return {};
}

Result<SharedBorrow> borrow_receiver(PyObject* receiver)
{
    CORVANE_TRY(check_instance(receiver, nullptr));
    return SharedBorrow::take(reinterpret_cast<Instance*>(receiver));
}

}  // namespace corvane::frame
