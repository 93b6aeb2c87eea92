// The one way into the module from the interpreter. Every entry function is an
// instantiation of `boundary` around its body: the body returns a result or a
// failure value, internal faults are caught and become PanicException, and
// nothing unwinds into the interpreter's frames. Anything that still escapes
// while the outcome is being handed over ends the process.
#pragma once

#include "frame/failure.hpp"
#include "frame/host_policy.hpp"
#include "frame/panic.hpp"
#include "store/fault.hpp"

#include <exception>
#include <new>
#include <optional>
#include <variant>

namespace corvane::frame {

// Runs `body` and turns any C++ exception into a failure value.
template <class Body>
auto run_caught(Body& body) -> decltype(body())
{
    using Outcome = decltype(body());
    try {
        return body();
    } catch (const store::Fault& fault) {
        return Outcome(std::unexpect, Failure::panic(fault.message));
    } catch (const std::bad_alloc&) {
        return Outcome(std::unexpect, Failure::no_memory());
    } catch (const std::exception& error) {
        return Outcome(std::unexpect, Failure::panic(error.what()));
    } catch (...) {
        return Outcome(std::unexpect, Failure::panic("native code panicked"));
    }
}

// Entry functions returning an object (or, for `int`-returning slots, a status).
//
// The host's entry check (guard_entry) comes before the body makes any call
// into the host: PyPy may call a native function with less stack left than one
// of its own C-API functions needs, and such a function ends the process
// instead of raising. Its guard lets the body in only while a reserve of stack
// is left, so the body's host calls have room, and a refusal comes back as
// RecursionError. CPython counts calls and checks no stack in those functions.
template <class Body>
PyObject* boundary(Body&& body) noexcept
{
    auto guarded = [&]() -> Result<PyObject*> {
        Result<std::optional<RecursionGuard>> guard = guard_entry();
        CORVANE_TRY(guard);
        return body();
    };
    Result<PyObject*> outcome = run_caught(guarded);
    try {
        if (outcome) {
            return *outcome;
        }
        std::move(outcome.error()).restore();
        return nullptr;
    } catch (...) {
        abort_at_boundary();
    }
}

// The destructor has nothing to return: a fault is reported as unraisable.
template <class Body>
void deallocation_boundary(Body&& body) noexcept
{
    auto wrapped = [&]() -> Status {
        body();
        return {};
    };
    Status outcome = run_caught(wrapped);
    try {
        if (!outcome) {
            write_unraisable(std::move(outcome.error()), nullptr);
        }
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace corvane::frame
