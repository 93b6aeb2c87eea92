// Allocation failure injection, for tests only: the k-th store allocation can
// be made to fail, to prove that every partly built object is released on that
// path. Only the store built for tests (corvane_store_injectable) defines
// these; a program that calls them cannot link against the shipped store.
#pragma once

namespace corvane::store {

// The k-th allocation from now throws bad_alloc (k = 1: the next one); k <= 0
// disarms. The injected failure fires once.
void fail_allocation_after(long k) noexcept;
// Allocations that succeeded since the process started.
long allocations_made() noexcept;
// Blocks currently allocated and not yet freed.
long live_allocations() noexcept;

}  // namespace corvane::store
