#include "frame/recursion_guard.hpp"

#include <cstddef>

namespace corvane::frame {

namespace {

// PyPy measures its recursion limit as machine stack, and several of its C-API
// functions (PyErr_Fetch, PyDict_Next among them) end the process when they
// run out of it, since they are not allowed to fail. The guard therefore asks
// from a frame this much deeper than the caller's, so that whatever the module
// does after a refusal still has the reserve to run in. CPython counts calls
// instead and needs no reserve.
[[gnu::noinline]] int enter_below_reserve(const char* where)
{
#if defined(PYPY_VERSION)
    // The reserve is only skipped over, never written: the host looks at the
    // address of the frame that calls it.
    constexpr std::size_t reserve = 64 * 1024;
    char* skipped = static_cast<char*>(__builtin_alloca(reserve));
    __asm__ volatile("" : : "r"(skipped) : "memory");
#endif
    return Py_EnterRecursiveCall(where);
}

}  // namespace

Result<RecursionGuard> RecursionGuard::enter(const char* where)
{
    if (enter_below_reserve(where) != 0) {
        if (std::optional<Failure> refused = take_leaving_pending()) {
            return fail(std::move(*refused));
        }
        return fail(Failure::none_set());
    }
    return RecursionGuard();
}

RecursionGuard::~RecursionGuard()
{
    if (held_) {
        Py_LeaveRecursiveCall();
    }
}

}  // namespace corvane::frame
