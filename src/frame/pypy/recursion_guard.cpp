#include "frame/recursion_guard.hpp"

#include "frame/thread_stack.hpp"

namespace corvane::frame {

namespace {

// PyPy's recursion limit is a size of machine stack: 768 KiB for every 1000
// of the limit, counted from where the thread's first frame began (measured
// on 7.3.11, 7.3.19 and 8.0.1, 32 and 64 bits: a plain Python call fails
// within a few hundred bytes of it). Past it, several of its C-API functions
// end the process instead of raising, even ones allowed to fail: PyErr_Fetch,
// PyDict_Next, PyDict_Size, PyNumber_Index. The guard lets an entry in only
// while `reserve` bytes of that budget, and of the thread's own stack, are left
// for the host calls the entry makes: entries called at every offset near the
// limit needed up to 8 KiB on 7.3.19 and 8.0.1 (x86-64). Python code those
// calls run checks the stack itself and raises.
constexpr std::size_t reserve = 16 * 1024;

// PyErr_SetString checks the stack on 8.0.1 and ends the process a little
// past the budget (it raised at the budget's end, not 1 KiB beyond it);
// 7.3.11 and 7.3.19 raise 30 KiB past it. With less than this left, the
// refusal is the host's own check's.
constexpr std::size_t raise_room = 512;

// PyPy 7.3.19 (x86-64) loses an exact RecursionError that a native function
// returns to code it has compiled, in some traces near the stack limit: the
// caller gets SystemError "c function call returned NULL without setting an
// exception" instead (seen with a bare PyErr_SetString in a trivial function
// as well; TypeError, RuntimeError and subclasses of RecursionError pass).
// Refusals therefore raise a subclass that bears the host's name, made on the
// first entry, while there is stack to spare; until then, RecursionError.
PyObject* refusal_type = nullptr;

void make_refusal_type() noexcept
{
    if (refusal_type != nullptr) {
        return;
    }
    refusal_type = PyErr_NewException("corvane.RecursionError", PyExc_RecursionError, nullptr);
    if (refusal_type == nullptr) {
        PyErr_Clear();
        refusal_type = PyExc_RecursionError;
    }
}

std::uintptr_t host_budget() noexcept
{
    const double bytes = 786432.0 * static_cast<double>(Py_GetRecursionLimit()) * 0.001;
    return bytes >= static_cast<double>(UINTPTR_MAX / 2) ? UINTPTR_MAX / 2 : static_cast<std::uintptr_t>(bytes);
}

}  // namespace

Result<RecursionGuard> RecursionGuard::enter(const char* where)
{
    const std::uintptr_t position = stack_position();
    if (!on_thread_stack(position)) {
        // No bounds to measure from: the host's own check, which refuses a
        // sixteenth of its budget early, decides alone.
        if (Py_EnterRecursiveCall(where) != 0) {
            return fail(Failure::left_pending());
        }
        Py_LeaveRecursiveCall();
        return RecursionGuard(false);
    }
    // The thread's frames lie between the top of its stack and `position`;
    // the top is where the thread began or above, so `used` is never less than
    // what the host counts.
    const std::uintptr_t used = thread_stack().high - position;
    const std::uintptr_t budget = host_budget();
    const std::uintptr_t left = used < budget ? budget - used : 0;
    if (left >= reserve && machine_stack_has(position, reserve)) {
        make_refusal_type();
        return RecursionGuard(false);
    }
    if (left < raise_room) {
        // Its own check refuses in the last sixteenth of its budget, and
        // raises without ending the process.
        if (Py_EnterRecursiveCall(where) != 0) {
            return fail(Failure::left_pending());
        }
        Py_LeaveRecursiveCall();
    }
    return fail(refuse(where, refusal_type != nullptr ? refusal_type : PyExc_RecursionError));
}

}  // namespace corvane::frame
