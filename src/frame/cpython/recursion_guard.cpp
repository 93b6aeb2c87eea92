#include "frame/recursion_guard.hpp"

#include "frame/thread_stack.hpp"

namespace corvane::frame {

namespace {

// CPython counts calls, and releases before 3.12 check no machine stack at
// all: a thread started with a small stack can run out of it before the count
// reaches the limit. The guard keeps this much of the thread's stack for the
// entry's own calls, a Python __float__ included.
constexpr std::size_t reserve = 16 * 1024;

}  // namespace

Result<RecursionGuard> RecursionGuard::enter(const char* where)
{
    if (!machine_stack_has(stack_position(), reserve)) {
        return fail(refuse(where));
    }
    if (Py_EnterRecursiveCall(where) != 0) {
        if (std::optional<Failure> refused = take_leaving_pending()) {
            return fail(std::move(*refused));
        }
        return fail(Failure::none_set());
    }
    return RecursionGuard(true);
}

}  // namespace corvane::frame
