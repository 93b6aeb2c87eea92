#include "frame/instance.hpp"

#include "frame/boundary.hpp"
#include "frame/type_spec.hpp"
#include "store/fault.hpp"

#include <new>

namespace corvane::frame {

namespace {

// Written under the interpreter lock; the first type stored stays.
std::atomic<PyTypeObject*> class_type_cell{nullptr};

constexpr std::uint32_t exclusively_borrowed = 0xFFFFFFFFu;

}  // namespace

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

Result<SharedBorrow> SharedBorrow::take(Instance* instance)
{
    std::uint32_t seen = instance->borrow_flag.load(std::memory_order_relaxed);
    do {
        if (seen == exclusively_borrowed) {
            return fail(Failure::borrow_error());
        }
    } while (!instance->borrow_flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                                          std::memory_order_relaxed));
    return SharedBorrow(instance);
}

Result<SharedBorrow> borrow_receiver(PyObject* receiver)
{
    if (Status checked = check_instance(receiver, nullptr); !checked) {
        return fail(std::move(checked.error()));
    }
    return SharedBorrow::take(reinterpret_cast<Instance*>(receiver));
}

Result<PyObject*> create_instance(store::Store store, PyTypeObject* type)
{
    allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* object = allocate(type, 0);
    if (object == nullptr) {
        return fail(fetch());
    }
    auto* instance = reinterpret_cast<Instance*>(object);
    new (&instance->store) store::Store(std::move(store));
    new (&instance->borrow_flag) std::atomic<std::uint32_t>(0);
    return object;
}

void deallocate_instance(PyObject* object) noexcept
{
    deallocation_boundary([object] {
        auto* instance = reinterpret_cast<Instance*>(object);
        instance->store.~Store();
        instance->borrow_flag.~atomic();
        Ref base = Ref::borrow(as_object(&PyBaseObject_Type));
        Ref type = Ref::borrow(as_object(Py_TYPE(object)));
        freefunc free_slot = Py_TYPE(object)->tp_free;
        if (free_slot == nullptr) {
            store::fault("PyBaseObject_Type should have tp_free");
        }
        free_slot(object);
        // Both hosts' allocators give every instance of a heap type a reference
        // to its type, and neither's tp_free returns it.
        Py_DECREF(type.get());
    });
}

}  // namespace corvane::frame
