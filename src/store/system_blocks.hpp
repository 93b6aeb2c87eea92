// The system allocator behind the store's allocate() and deallocate(), and
// behind the reuse pool when it gives blocks back.
#pragma once

#include <cstddef>

namespace corvane::store {

// Null when the system has no memory.
[[nodiscard]] void* system_allocate(std::size_t bytes, std::size_t alignment) noexcept;

void system_release(void* p, std::size_t bytes, std::size_t alignment) noexcept;

}  // namespace corvane::store
