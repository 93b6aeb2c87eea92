// The internal fault: a broken invariant, as opposed to a failure that Python
// code provoked and that travels back as a value. Every layer of the module
// throws this one type; the frame catches it at the boundary of each entry
// function and turns it into PanicException, so nothing else may catch it on
// the way.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace corvane::store {

class Fault : public std::exception {
public:
    Fault(std::string message, std::source_location where, bool resumed) noexcept
        : message(std::move(message)), where(where), resumed(resumed)
    {
    }

    const char* what() const noexcept override { return message.c_str(); }

    std::string message;
    std::source_location where;
    // A resumed fault re-enters native code from Python (a PanicException
    // that Python code raised again); its diagnostic was written the first
    // time, so it writes none.
    bool resumed;
};

// Writes one diagnostic line to stderr naming the thread, the place and the
// message, then throws Fault. The diagnostic goes out before unwinding so that
// it survives even if the fault later ends the process.
[[noreturn]] void fault(std::string message, std::source_location where = std::source_location::current());

// The diagnostic fault() writes, without the trailing line feed. Exposed so
// the frame can write the same layout when it has to abort instead.
std::string fault_diagnostic(const std::string& message, const std::source_location& where);

}  // namespace corvane::store
