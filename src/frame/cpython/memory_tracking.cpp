// CPython counts the store's blocks at their size, which makes them visible to
// tracemalloc.
#include "frame/host_policy.hpp"

namespace corvane::frame {

// CPython 3.11's tracemalloc.h declares these two without C linkage, so C++
// would look for mangled names; bind the declarations to the C symbols.
int host_track(unsigned int domain, std::uintptr_t block, std::size_t bytes) __asm__("PyTraceMalloc_Track");
int host_untrack(unsigned int domain, std::uintptr_t block) __asm__("PyTraceMalloc_Untrack");

int track_block(unsigned int domain, std::uintptr_t block, std::size_t bytes)
{
    return host_track(domain, block, bytes);
}

int untrack_block(unsigned int domain, std::uintptr_t block) { return host_untrack(domain, block); }

}  // namespace corvane::frame
