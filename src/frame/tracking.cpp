#include "frame/tracking.hpp"

#include "frame/host.hpp"
#include "store/memory.hpp"

#include <cstdint>

namespace corvane::frame {

#if defined(PYPY_VERSION)
namespace {
int host_track(unsigned int domain, std::uintptr_t block, std::size_t bytes)
{
    return PyTraceMalloc_Track(domain, block, bytes);
}
int host_untrack(unsigned int domain, std::uintptr_t block) { return PyTraceMalloc_Untrack(domain, block); }
}  // namespace
#else
// CPython 3.11's tracemalloc.h declares these two without C linkage, so C++
// would look for mangled names; bind the declarations to the C symbols.
int host_track(unsigned int domain, std::uintptr_t block, std::size_t bytes) __asm__("PyTraceMalloc_Track");
int host_untrack(unsigned int domain, std::uintptr_t block) __asm__("PyTraceMalloc_Untrack");
#endif

namespace {

void track(const void* block, std::size_t bytes)
{
    // Failing to account for a block is not a failure of the allocation.
    (void)host_track(memory_domain, reinterpret_cast<std::uintptr_t>(block), bytes);
}

void untrack(const void* block) { (void)host_untrack(memory_domain, reinterpret_cast<std::uintptr_t>(block)); }

}  // namespace

void install_memory_tracking() noexcept { store::set_allocation_observer({track, untrack}); }

}  // namespace corvane::frame
