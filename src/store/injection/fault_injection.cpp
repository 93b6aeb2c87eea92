#include "store/injection/fault_injection.hpp"

#include "allocation_hooks.hpp"

#include <atomic>

namespace corvane::store {

namespace {

std::atomic<long> failure_countdown{0};
std::atomic<long> made{0};
std::atomic<long> live{0};

}  // namespace

namespace hooks {

bool refuse_allocation() noexcept
{
    long left = failure_countdown.load(std::memory_order_relaxed);
    while (left > 0) {
        if (failure_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            return left == 1;
        }
    }
    return false;
}

void allocated() noexcept
{
    made.fetch_add(1, std::memory_order_relaxed);
    live.fetch_add(1, std::memory_order_relaxed);
}

void released() noexcept { live.fetch_sub(1, std::memory_order_relaxed); }

}  // namespace hooks

void fail_allocation_after(long k) noexcept { failure_countdown.store(k > 0 ? k : 0, std::memory_order_relaxed); }
long allocations_made() noexcept { return made.load(std::memory_order_relaxed); }
long live_allocations() noexcept { return live.load(std::memory_order_relaxed); }

}  // namespace corvane::store
