// Blocks the program has dropped, kept for the next request of the same size.
//
// A loop that derives results and drops them asks for blocks of one size
// again and again. Where a collector frees dead results in bursts (PyPy), the
// allocator gets back many blocks at once, coalesces them and hands the pages
// back to the system, so each block of the next round is new memory: a page
// fault for every page written. Keeping the dropped blocks and handing them
// out again makes the next round write to pages that are already there.
//
// The pool is bounded by what the module itself held: it keeps a block only
// while the blocks in use plus the blocks kept stay within the largest amount
// in use during the last two epochs (an epoch ends when twice that bound has
// been handed out), and never more than a fixed cap. When the program's
// working set shrinks, the bound falls with it at the next epoch and the
// surplus goes back to the system.
#pragma once

#include <cstddef>

namespace corvane::store::reuse {

// Blocks below this size stay with the system allocator: the bookkeeping would
// cost as much as the allocation.
inline constexpr std::size_t smallest_kept = 512;

// A kept block of exactly `bytes` and `alignment`, counted as handed out; or
// null, and the caller allocates one itself.
[[nodiscard]] void* take(std::size_t bytes, std::size_t alignment) noexcept;

// Counts a block the caller allocated itself as handed out.
void count(std::size_t bytes) noexcept;

// Counts a block the program no longer uses. True when the pool keeps it;
// false when the caller must give it back to the system.
[[nodiscard]] bool keep(void* block, std::size_t bytes, std::size_t alignment) noexcept;

struct Usage {
    std::size_t in_use = 0;  // bytes handed out and not given back
    std::size_t kept = 0;    // bytes the pool holds
    std::size_t bound = 0;   // what in_use + kept may reach before a block is refused
};

[[nodiscard]] Usage usage() noexcept;

// Gives every kept block back to the system (tests, and programs that know
// they are done).
void release_all() noexcept;

}  // namespace corvane::store::reuse
