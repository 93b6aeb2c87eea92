#include "frame/instance.hpp"

#include "frame/boundary.hpp"
#include "store/fault.hpp"

#include <new>

namespace corvane::frame {

namespace {

// All ones in the flag would mark an exclusive borrow. Nothing here takes one,
// but the value is still refused: one more shared borrow would wrap the count
// to zero and let the last release underflow it.
constexpr std::uint32_t exclusively_borrowed = 0xFFFFFFFFu;

}  // namespace

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
