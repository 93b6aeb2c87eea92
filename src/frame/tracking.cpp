#include "frame/tracking.hpp"

#include "frame/host.hpp"
#include "store/memory.hpp"

#include <cstdint>

namespace corvane::frame {

#if defined(PYPY_VERSION)
namespace {
// PyPy frees a dead host buffer at the next minor collection, but a dead
// object of the module only once a major collection has found it and its
// deallocation has run. Counted at their size, its blocks let a loop that
// drops large results pile up some twenty dead ones before that happens
// (200 MB for results of 8 MB, four kept alive); counted twice, the major
// collections come early enough that the peak stays below the same loop's
// over bytearrays or within three times the live set, on every PyPy release
// here, 32-bit included. PyPy only counts what is reported: the weight
// changes when the collector runs, not what it frees.
constexpr std::size_t block_weight = 2;

int host_track(unsigned int domain, std::uintptr_t block, std::size_t bytes)
{
    return PyTraceMalloc_Track(domain, block, bytes * block_weight);
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
