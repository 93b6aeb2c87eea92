#include "frame/type_spec.hpp"

#include "frame/docstrings.hpp"
#include "frame/host_policy.hpp"
#include "frame/methods.hpp"
#include "store/fault.hpp"

#include <atomic>

namespace corvane::frame {

namespace {

// Written under the interpreter lock; the first type stored stays.
std::atomic<PyTypeObject*> class_type_cell{nullptr};

void deallocate_slot(PyObject* object) { deallocate_instance(object); }

}  // namespace

Failure class_creation_failure()
{
    Failure cause = fetch();
    Failure wrapped = Failure::runtime_error("An error occurred while initializing class CorvaneDict");
    wrapped.set_cause(Ref::borrow(cause.value()));
    return wrapped;
}

Result<PyTypeObject*> create_class_type()
{
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(docs::class_doc)},
        {Py_tp_methods, class_methods()},
        {Py_tp_getset, attribute_table},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(deallocate_slot)},
        constructor_slot(),
        {0, nullptr},
    };
    // No module name is registered, so the host places the class in "builtins";
    // no base-type flag (the class is final) and no cycle-collector tracking.
    PyType_Spec spec = {class_spec_name, static_cast<int>(sizeof(Instance)), 0, 0, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        return fail(class_creation_failure());
    }
    Ref owned = Ref::steal(type);
    CORVANE_TRY(finish_class(owned.get()));
    return reinterpret_cast<PyTypeObject*>(owned.release());
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
