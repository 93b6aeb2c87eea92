// A recursion guard entered before the module calls into Python code or walks
// a dict, so that a call made near the interpreter's stack limit ends in
// RecursionError instead of a host failure or a stack overflow.
#pragma once

#include "frame/failure.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace corvane::frame {

class RecursionGuard {
public:
    // Enters the guard; a refusal is a RecursionError (whose message ends with
    // `where`) left pending.
    static Result<RecursionGuard> enter(const char* where);

    RecursionGuard(RecursionGuard&& other) noexcept : held_(std::exchange(other.held_, false)) {}
    RecursionGuard& operator=(RecursionGuard&&) = delete;
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard();

private:
    // `counted`: the host's recursion counter was entered and is left again
    // when the guard ends.
    explicit RecursionGuard(bool counted) noexcept : held_(counted) {}
    // Sets RecursionError (or `type`, a subclass) from this frame; the host's
    // wording.
    static Failure refuse(const char* where, PyObject* type = PyExc_RecursionError);
    // Whether the thread's own stack has `bytes` left below `position`; true
    // when its bounds are unknown (the host's own check then stands alone).
    static bool machine_stack_has(std::uintptr_t position, std::size_t bytes) noexcept;
    bool held_;
};

}  // namespace corvane::frame
