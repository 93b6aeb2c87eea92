// The one allocation point of the store layer.
//
// Every byte the store layer owns comes from allocate() and goes back through
// deallocate(), so that four concerns live in one place:
//  - exhaustion is always reported as std::bad_alloc (never a null pointer,
//    never an abort from inside the store layer); the frame decides what a
//    failed allocation means for the process;
//  - blocks can be reported to the host (which may want to account for
//    native memory it cannot see) through an observer;
//  - dropped blocks are kept for reuse, within a bound (reuse_pool.hpp), so
//    a loop that derives and drops results writes to pages it already has;
//  - the store built for tests can make the k-th allocation fail, to prove
//    that every partly built object is released on that path
//    (injection/fault_injection.hpp); the shipped store holds none of it.
#pragma once

#include <cstddef>

namespace corvane::store {

struct AllocationObserver {
    void (*on_allocate)(const void* p, std::size_t bytes) = nullptr;
    void (*on_release)(const void* p, std::size_t bytes) = nullptr;
};

// Installs (or, with null members, removes) the observer. Meant to be called
// once when the frame starts up, before any store exists; blocks allocated
// before an observer was installed are reported on release anyway, so an
// observer must tolerate releases it never saw allocated.
void set_allocation_observer(AllocationObserver observer) noexcept;

// Returns a block of at least `bytes` bytes aligned to `alignment` (a power of
// two). Throws std::bad_alloc when the request cannot be met, including sizes
// no object may have (above PTRDIFF_MAX). `bytes == 0` returns a valid block
// that must still be deallocated.
[[nodiscard]] void* allocate(std::size_t bytes, std::size_t alignment);

// Frees a block from allocate(), with the same size and alignment. Null is
// ignored.
void deallocate(void* p, std::size_t bytes, std::size_t alignment) noexcept;

// count * size in bytes, or std::bad_alloc when that overflows std::size_t.
[[nodiscard]] std::size_t array_bytes(std::size_t count, std::size_t size);

}  // namespace corvane::store
