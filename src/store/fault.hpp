// The internal fault: a broken invariant, as opposed to a failure that Python
// code provoked and that travels back as a value. Every layer of the module
// throws this one type; the frame catches it at the boundary of each entry
// function and turns it into PanicException, so nothing else may catch it on
// the way.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace corvane::store {

class Fault : public std::exception {
public:
    // Only a value: constructing one writes nothing (a fault that Python code
    // raised again has had its diagnostic written the first time).
    explicit Fault(std::string message) noexcept : message(std::move(message)) {}

    const char* what() const noexcept override { return message.c_str(); }

    std::string message;
};

// Writes one diagnostic line to stderr naming the thread, the place and the
// message, then throws Fault. The diagnostic goes out before unwinding so that
// it survives even if the fault later ends the process.
[[noreturn]] void fault(std::string message, std::source_location where = std::source_location::current());

// fault() for an index past the end of something `length` long.
[[noreturn]] void out_of_bounds(std::size_t length, std::size_t index,
                                std::source_location where = std::source_location::current());

}  // namespace corvane::store
