// PyPy measures its recursion limit as stack, and several of its C-API
// functions end the process past it instead of raising: every entry is checked
// before its body calls into the host (see recursion_guard.cpp).
#include "frame/host_policy.hpp"

namespace corvane::frame {

Result<std::optional<RecursionGuard>> guard_entry()
{
    Result<RecursionGuard> guard = RecursionGuard::enter(" while calling a Python object");
    CORVANE_TRY(guard);
    return std::optional<RecursionGuard>(std::move(*guard));
}

// The entry that leads to a conversion has already checked the stack, with
// room to spare; a second check a few frames below would only cost a host call
// per value.
Result<std::optional<RecursionGuard>> guard_conversion() { return std::optional<RecursionGuard>(); }

}  // namespace corvane::frame
