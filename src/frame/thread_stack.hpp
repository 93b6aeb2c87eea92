// The current thread's machine stack as the system describes it. Stack checks
// measure what is left from these bounds and the stack pointer alone: nothing
// below the stack pointer is read or written to find out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane::frame {

struct ThreadStack {
    // Frames may grow down to `low`: the first address above the guard area.
    std::uintptr_t low = 0;
    // No frame of this thread lies above `high`. Where the system puts data of
    // its own at the top of the stack (the program's arguments and
    // environment, a thread's control block), `high` is below that data, so
    // that `high - position` is close to the stack the thread's frames use.
    std::uintptr_t high = 0;
    bool known = false;
};

// Asked of the system once per thread, then cached.
const ThreadStack& thread_stack() noexcept;

// An address in the caller's frame.
[[gnu::always_inline]] inline std::uintptr_t stack_position() noexcept
{
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

// Whether `position` lies on the current thread's stack as described: false
// when the system could not tell, or when the caller runs on a stack of its
// own making.
bool on_thread_stack(std::uintptr_t position) noexcept;

}  // namespace corvane::frame
