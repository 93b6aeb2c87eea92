#include "store/memory.hpp"

#include <atomic>
#include <cstdint>
#include <limits>
#include <new>

namespace corvane::store {

namespace {

// Relaxed is enough: the observer is installed once, before any store exists,
// and the two pointers need not be seen together by other threads (a release
// report without a matching allocation report is tolerated).
std::atomic<void (*)(const void*, std::size_t)> observe_allocate{nullptr};
std::atomic<void (*)(const void*)> observe_release{nullptr};

#ifdef CORVANE_FAULT_INJECTION
std::atomic<long> failure_countdown{0};
std::atomic<long> made{0};
std::atomic<long> live{0};

bool injected_failure_due() noexcept
{
    long left = failure_countdown.load(std::memory_order_relaxed);
    while (left > 0) {
        if (failure_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            return left == 1;
        }
    }
    return false;
}
#endif

}  // namespace

void set_allocation_observer(AllocationObserver observer) noexcept
{
    observe_allocate.store(observer.on_allocate, std::memory_order_relaxed);
    observe_release.store(observer.on_release, std::memory_order_relaxed);
}

std::size_t array_bytes(std::size_t count, std::size_t size)
{
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        throw std::bad_alloc();
    }
    return bytes;
}

void* allocate(std::size_t bytes, std::size_t alignment)
{
    // No object may be larger than PTRDIFF_MAX; refusing here also keeps
    // pointer differences inside every block well defined.
    constexpr auto largest = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (bytes > largest - alignment) {
        throw std::bad_alloc();
    }
#ifdef CORVANE_FAULT_INJECTION
    if (injected_failure_due()) {
        throw std::bad_alloc();
    }
#endif
    void* p = nullptr;
    if (alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        p = ::operator new(bytes, std::nothrow);
    } else {
        p = ::operator new(bytes, std::align_val_t{alignment}, std::nothrow);
    }
    if (p == nullptr) {
        throw std::bad_alloc();
    }
#ifdef CORVANE_FAULT_INJECTION
    made.fetch_add(1, std::memory_order_relaxed);
    live.fetch_add(1, std::memory_order_relaxed);
#endif
    if (bytes >= observed_threshold) {
        if (auto report = observe_allocate.load(std::memory_order_relaxed)) {
            report(p, bytes);
        }
    }
    return p;
}

void deallocate(void* p, std::size_t bytes, std::size_t alignment) noexcept
{
    if (p == nullptr) {
        return;
    }
    if (bytes >= observed_threshold) {
        if (auto report = observe_release.load(std::memory_order_relaxed)) {
            report(p);
        }
    }
#ifdef CORVANE_FAULT_INJECTION
    live.fetch_sub(1, std::memory_order_relaxed);
#endif
    if (alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        ::operator delete(p, bytes);
    } else {
        ::operator delete(p, bytes, std::align_val_t{alignment});
    }
}

#ifdef CORVANE_FAULT_INJECTION
bool fault_injection_available() noexcept { return true; }
void fail_allocation_after(long k) noexcept { failure_countdown.store(k > 0 ? k : 0, std::memory_order_relaxed); }
long allocations_made() noexcept { return made.load(std::memory_order_relaxed); }
long live_allocations() noexcept { return live.load(std::memory_order_relaxed); }
#else
bool fault_injection_available() noexcept { return false; }
void fail_allocation_after(long) noexcept {}
long allocations_made() noexcept { return 0; }
long live_allocations() noexcept { return 0; }
#endif

}  // namespace corvane::store
