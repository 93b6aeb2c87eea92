#include "frame/tracking.hpp"

#include "frame/host_policy.hpp"
#include "store/memory.hpp"

#include <cstdint>

namespace corvane::frame {

namespace {

void track(const void* block, std::size_t bytes)
{
    track_block(memory_domain, reinterpret_cast<std::uintptr_t>(block), bytes);
}

void untrack(const void* block, std::size_t bytes)
{
    untrack_block(memory_domain, reinterpret_cast<std::uintptr_t>(block), bytes);
}

}  // namespace

void install_memory_tracking() noexcept { store::set_allocation_observer({track, untrack}); }

}  // namespace corvane::frame
