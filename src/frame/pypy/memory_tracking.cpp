#include "frame/host_policy.hpp"

#include <atomic>

namespace corvane::frame {

namespace {

// PyPy frees a dead object of the module only once its collector has found
// the object dead, and it cannot see the module's own memory: told nothing,
// it lets a loop that drops results pile them up until its nursery fills,
// which takes gigabytes on a processor with a large cache. Each report brings
// the next major collection closer by that many bytes, so the dead results a
// loop leaves behind stay within what the collector lets grow between two
// collections, a share of the live heap, as its own objects do. Counted twice,
// they stay below the same loop's over the host's own buffers on every PyPy
// release here, 32-bit included. Blocks kept for reuse count again when they
// are handed out again: what paces the collector is how fast the program
// makes results, not how fast the process grows.
constexpr std::size_t block_weight = 2;

// Reports are gathered to this size, so that a loop of small results does not
// pay a host call for each.
constexpr std::size_t report_step = std::size_t{64} << 10;

std::atomic<std::size_t> unreported{0};

}  // namespace

void track_block(unsigned int domain, std::uintptr_t block, std::size_t bytes) noexcept
{
    const std::size_t pending = unreported.fetch_add(bytes * block_weight, std::memory_order_relaxed) +
                                bytes * block_weight;
    if (pending >= report_step) {
        unreported.fetch_sub(pending, std::memory_order_relaxed);
        // Failing to report is not a failure of the allocation.
        (void)PyTraceMalloc_Track(domain, block, pending);
    }
}

// The report was a step towards the next collection, not a record of the
// block: there is nothing to take back.
void untrack_block(unsigned int, std::uintptr_t, std::size_t) noexcept {}

}  // namespace corvane::frame
