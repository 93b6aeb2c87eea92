#include "frame/tracking.hpp"

#include "frame/host_policy.hpp"
#include "store/memory.hpp"

#include <cstdint>

namespace corvane::frame {

namespace {

void track(const void* block, std::size_t bytes)
{
    // Failing to account for a block is not a failure of the allocation.
    (void)track_block(memory_domain, reinterpret_cast<std::uintptr_t>(block), bytes);
}

void untrack(const void* block) { (void)untrack_block(memory_domain, reinterpret_cast<std::uintptr_t>(block)); }

}  // namespace

void install_memory_tracking() noexcept { store::set_allocation_observer({track, untrack}); }

}  // namespace corvane::frame
