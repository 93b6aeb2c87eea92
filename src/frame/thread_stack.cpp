#include "frame/thread_stack.hpp"

#include <pthread.h>

// The stack pointer the process started with, where the C library tells it:
// the main thread's first frame lies just below it, the program's arguments
// and environment above it.
extern "C" [[gnu::weak]] void* __libc_stack_end;  // NOLINT(bugprone-reserved-identifier)

namespace corvane::frame {

namespace {

bool inside(std::uintptr_t address, std::uintptr_t low, std::uintptr_t high) noexcept
{
    return low < address && address <= high;
}

ThreadStack ask_system() noexcept
{
    ThreadStack stack;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return stack;
    }
    void* base = nullptr;
    std::size_t size = 0;
    std::size_t guard = 0;
    const bool described = pthread_attr_getstack(&attributes, &base, &size) == 0 &&
                           pthread_attr_getguardsize(&attributes, &guard) == 0;
    pthread_attr_destroy(&attributes);
    if (!described || base == nullptr || size <= guard) {
        return stack;
    }
    const auto low = reinterpret_cast<std::uintptr_t>(base);
    const std::uintptr_t high = low + size;
    // Whether the guard lies inside the reported range differs between
    // releases of the C library; counting it in costs one page at most.
    stack.low = low + guard;
    stack.high = high;
    // The main thread starts below what __libc_stack_end marks; a thread the
    // C library made starts below its control block, which it keeps at the
    // top of the same allocation.
    const auto start = &__libc_stack_end != nullptr ? reinterpret_cast<std::uintptr_t>(__libc_stack_end) : 0;
    if (inside(start, stack.low, high)) {
        stack.high = start;
    } else if (const auto control = static_cast<std::uintptr_t>(pthread_self()); inside(control, stack.low, high)) {
        stack.high = control;
    }
    stack.known = inside(stack_position(), stack.low, stack.high);
    return stack;
}

}  // namespace

const ThreadStack& thread_stack() noexcept
{
    thread_local const ThreadStack stack = ask_system();
    return stack;
}

bool on_thread_stack(std::uintptr_t position) noexcept
{
    const ThreadStack& stack = thread_stack();
    return stack.known && inside(position, stack.low, stack.high);
}

}  // namespace corvane::frame
