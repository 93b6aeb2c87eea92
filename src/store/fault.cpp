#include "store/fault.hpp"

#include <cstdio>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

namespace corvane::store {

namespace {

// Build trees put absolute paths into source locations; the part from the
// last "src/" (or "tests/") on is what a reader of the diagnostic can use.
std::string_view project_path(std::string_view file)
{
    for (std::string_view root : {"/src/", "/tests/"}) {
        if (auto at = file.rfind(root); at != std::string_view::npos) {
            return file.substr(at + 1);
        }
    }
    return file;
}

std::string thread_label()
{
    char name[32] = {};
    std::string label;
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') {
        label = name;
    } else {
        label = "<unnamed>";
    }
    label += " (tid ";
    label += std::to_string(static_cast<long>(gettid()));
    label += ')';
    return label;
}

// The diagnostic fault() writes, without the trailing line feed.
std::string fault_diagnostic(const std::string& message, const std::source_location& where)
{
    std::string text = "thread '";
    text += thread_label();
    text += "' faulted at ";
    text += project_path(where.file_name());
    text += ':';
    text += std::to_string(where.line());
    text += ':';
    text += std::to_string(where.column());
    text += ":\n";
    text += message;
    return text;
}

}  // namespace

void fault(std::string message, std::source_location where)
{
    try {
        std::string text = fault_diagnostic(message, where);
        text += '\n';
        // One write, so that diagnostics of two threads do not interleave.
        std::fwrite(text.data(), 1, text.size(), stderr);
    } catch (...) {
        // Out of memory while describing the fault: say what we can.
        std::fputs("thread faulted: ", stderr);
        std::fwrite(message.data(), 1, message.size(), stderr);
        std::fputc('\n', stderr);
    }
    std::fflush(stderr);
    throw Fault(std::move(message));
}

void out_of_bounds(std::size_t length, std::size_t index, std::source_location where)
{
    fault("index out of bounds: the len is " + std::to_string(length) + " but the index is " + std::to_string(index),
          where);
}

}  // namespace corvane::store
