#include "frame/recursion_guard.hpp"

#include "frame/thread_stack.hpp"

#include <string>

namespace corvane::frame {

Failure RecursionGuard::refuse(const char* where, PyObject* type)
{
    const std::string text = std::string("maximum recursion depth exceeded") + where;
    PyErr_SetString(type, text.c_str());
    return Failure::left_pending();
}

bool RecursionGuard::machine_stack_has(std::uintptr_t position, std::size_t bytes) noexcept
{
    if (!on_thread_stack(position)) {
        return true;
    }
    return position - thread_stack().low >= bytes;
}

RecursionGuard::~RecursionGuard()
{
    if (held_) {
        Py_LeaveRecursiveCall();
    }
}

}  // namespace corvane::frame
