// CPython counts calls and checks no stack in the C-API functions an entry
// calls: only a conversion that may run Python code is guarded.
#include "frame/host_policy.hpp"

namespace corvane::frame {

Result<std::optional<RecursionGuard>> guard_entry() { return std::optional<RecursionGuard>(); }

// A __float__ written in Python is a call the host counts.
Result<std::optional<RecursionGuard>> guard_conversion()
{
    Result<RecursionGuard> guard = RecursionGuard::enter(" while calling a Python object");
    CORVANE_TRY(guard);
    return std::optional<RecursionGuard>(std::move(*guard));
}

}  // namespace corvane::frame
