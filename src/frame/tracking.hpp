// Reports the store's large native blocks to the host. PyPy's collector cannot
// see memory that the module allocates itself, so without this a loop that keeps
// deriving large results grows the process long before a collection runs; on
// CPython the same calls make the blocks visible to tracemalloc.
#pragma once

namespace corvane::frame {

// The tracemalloc domain under which the module's blocks are reported.
inline constexpr unsigned int memory_domain = 0x636f7276;  // "corv"

void install_memory_tracking() noexcept;

}  // namespace corvane::frame
