#include "frame/host_policy.hpp"

namespace corvane::frame {

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

}  // namespace

int track_block(unsigned int domain, std::uintptr_t block, std::size_t bytes)
{
    return PyTraceMalloc_Track(domain, block, bytes * block_weight);
}

int untrack_block(unsigned int domain, std::uintptr_t block) { return PyTraceMalloc_Untrack(domain, block); }

}  // namespace corvane::frame
