// A recursion guard entered before the module calls into Python code or walks
// a dict, so that a call made near the interpreter's stack limit ends in
// RecursionError instead of a host failure.
#pragma once

#include "frame/failure.hpp"

namespace corvane::frame {

class RecursionGuard {
public:
    // Enters the guard; when the interpreter refuses, its RecursionError (whose
    // message ends with `where`) is left pending, see take_leaving_pending().
    static Result<RecursionGuard> enter(const char* where);

    RecursionGuard(RecursionGuard&& other) noexcept : held_(std::exchange(other.held_, false)) {}
    RecursionGuard& operator=(RecursionGuard&&) = delete;
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard();

private:
    RecursionGuard() noexcept = default;
    bool held_ = true;
};

}  // namespace corvane::frame
