#include "frame/test_hooks.hpp"
#include "frame/instance.hpp"
#include "store/injection/fault_injection.hpp"

// The k-th store allocation from now fails with bad_alloc (k = 1: the next);
// k <= 0 disarms.
CORVANE_TEST_HOOK void corvane_fail_allocation_after(long k) { corvane::store::fail_allocation_after(k); }

// Store blocks allocated and not yet freed.
CORVANE_TEST_HOOK long corvane_live_allocations() { return corvane::store::live_allocations(); }

// Store allocations that succeeded since the process started.
CORVANE_TEST_HOOK long corvane_allocations_made() { return corvane::store::allocations_made(); }

// The borrow flag of the instance at `address` (0 when no call is reading it).
// The caller vouches that the address is an instance; nothing of the
// interpreter is touched, so the hook may run without its lock.
CORVANE_TEST_HOOK long corvane_borrow_flag(const void* address)
{
    const auto* instance = static_cast<const corvane::frame::Instance*>(address);
    return static_cast<long>(instance->borrow_flag.load(std::memory_order_acquire));
}
