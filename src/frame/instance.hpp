// The instance object: the host's header, the store (written once at creation,
// released at destruction) and a borrow flag that counts the calls reading it.
#pragma once

#include "frame/failure.hpp"
#include "store/store.hpp"

#include <atomic>
#include <cstdint>

namespace corvane::frame {

struct Instance {
    PyObject header;
    store::Store store;
    std::atomic<std::uint32_t> borrow_flag;
};

// A shared borrow, released when the holder goes, on every path.
class SharedBorrow {
public:
    static Result<SharedBorrow> take(Instance* instance);
    SharedBorrow(SharedBorrow&& other) noexcept : instance_(std::exchange(other.instance_, nullptr)) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow()
    {
        if (instance_ != nullptr) {
            instance_->borrow_flag.fetch_sub(1, std::memory_order_release);
        }
    }
    const store::Store& store() const noexcept { return instance_->store; }

private:
    explicit SharedBorrow(Instance* instance) noexcept : instance_(instance) {}
    Instance* instance_;
};

// Moves the store into a new instance of `type`; on failure the store is released.
Result<PyObject*> create_instance(store::Store store, PyTypeObject* type);

// The deallocation entry function.
void deallocate_instance(PyObject* object) noexcept;

}  // namespace corvane::frame
