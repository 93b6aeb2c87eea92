#include "frame/panic.hpp"

#include "frame/failure.hpp"
#include "frame/once.hpp"
#include "store/fault.hpp"

#include <cstdio>
#include <cstdlib>

namespace corvane::frame {

namespace {

constexpr const char* panic_doc =
    "\n"
    "The exception raised when the native code behind a Python call panics.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException so that it will\n"
    "typically propagate all the way up the stack and cause the Python interpreter\n"
    "to exit.\n";

OnceCell<PyObject> panic_cell;

std::string describe_pending()
{
    // Fetched by hand: taking through take() would ask for this very class.
    FetchedException raised = fetch_normalised();
    if (!raised.type) {
        return "no exception was set";
    }
    std::string text;
    if (!object_text(raised.value.get(), text)) {
        PyErr_Clear();
        return "<unprintable exception>";
    }
    return text;
}

}  // namespace

PyObject* panic_exception_type()
{
    Result<PyObject*> type = panic_cell.get_or_fill([]() -> Result<PyObject*> {
        PyObject* made = PyErr_NewExceptionWithDoc("corvane_runtime.PanicException", panic_doc, PyExc_BaseException,
                                                   nullptr);
        if (made == nullptr) {
            store::fault("Failed to initialize new exception type.: " + describe_pending());
        }
        return made;
    });
    return *type;
}

bool is_panic_exception_type(PyObject* type) noexcept
{
    PyObject* made = panic_cell.get();
    return made != nullptr && type == made;
}

void resume_panic(Ref type, Ref value, Ref traceback)
{
    std::string message;
    if (!object_text(value.get(), message)) {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    std::fputs(
        "--- PanicException was fetched from Python: resuming the native fault ---\n"
        "Python stack trace below:\n",
        stderr);
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyErr_PrintEx(0);
    throw store::Fault(std::move(message));
}

void abort_at_boundary() noexcept
{
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace corvane::frame
