// PanicException: how an internal fault reaches Python code. It derives from
// BaseException so that `except Exception` does not swallow a broken invariant.
#pragma once

#include "frame/host.hpp"

namespace corvane::frame {

// The class, created on first need and kept for the life of the process.
PyObject* panic_exception_type();
// Whether `type` is that class; never creates it (nothing raised before it
// existed can be one).
bool is_panic_exception_type(PyObject* type) noexcept;

// A PanicException taken back from Python code: print it with its traceback and
// resume the fault it stands for (no second diagnostic).
[[noreturn]] void resume_panic(Ref type, Ref value, Ref traceback);

// A fault while a failure was being reported: nothing can be handed to the
// interpreter any more, so the process ends.
[[noreturn]] void abort_at_boundary() noexcept;

}  // namespace corvane::frame
