// CPython frees a result as soon as it is dropped, so its memory needs no
// report to a collector; the store's large blocks are traced so that
// tracemalloc shows them, under the module's own domain.
#include "frame/host_policy.hpp"

namespace corvane::frame {

namespace {

// Smaller blocks are left out: tracing them costs a hash-table entry each and
// tells a reader of a snapshot little.
constexpr std::size_t traced_size = std::size_t{64} << 10;

}  // namespace

// CPython 3.11's tracemalloc.h declares these two without C linkage, so C++
// would look for mangled names; bind the declarations to the C symbols.
int host_track(unsigned int domain, std::uintptr_t block, std::size_t bytes) __asm__("PyTraceMalloc_Track");
int host_untrack(unsigned int domain, std::uintptr_t block) __asm__("PyTraceMalloc_Untrack");

void track_block(unsigned int domain, std::uintptr_t block, std::size_t bytes) noexcept
{
    if (bytes >= traced_size) {
        (void)host_track(domain, block, bytes);
    }
}

void untrack_block(unsigned int domain, std::uintptr_t block, std::size_t bytes) noexcept
{
    if (bytes >= traced_size) {
        (void)host_untrack(domain, block);
    }
}

}  // namespace corvane::frame
