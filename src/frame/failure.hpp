// Failures are values: every fallible step returns Result<T>, and only the
// boundary of an entry function turns a failure into the interpreter's pending
// exception. A failure is either deferred (a type and the makings of its
// argument, no interpreter object built yet, so making and dropping one is
// cheap) or materialised (type, instance, traceback as the interpreter holds
// them after normalisation).
//
// Which one a condition is, decided once:
// - A failure value is what the call's arguments or the Python code it runs can
//   cause: a refused argument, an exception that Python code raised, an
//   exception that a host operation on existing objects reports (a dict
//   insertion, an attribute lookup, a conversion). The caller sees the exception.
// - A fault (store::Fault, raised as PanicException) is what no argument can
//   cause. A host call that makes a new object out of what the module holds (a
//   str from a stored key, a float, a dict, a tuple) fails only when the host
//   itself does, so a null result there is a fault (must()), even inside a loop
//   whose insertions return their failure.
// - Borrows: refusing the receiver's shared borrow is part of accepting the
//   call's arguments, so it is a failure value (RuntimeError "Already mutably
//   borrowed"); the operation borrows `other` only after every argument was
//   accepted, where a refusal could only mean a broken flag, so it is a fault.
//   Neither arises while nothing takes an exclusive borrow.
#pragma once

#include "frame/host.hpp"

#include <expected>
#include <optional>
#include <string>

namespace corvane::frame {

class Failure {
public:
    static Failure type_error(std::string message);
    // A TypeError whose message is a str object already made, e.g. one that
    // holds text which has no UTF-8 form.
    static Failure type_error(Ref message);
    static Failure runtime_error(std::string message);
    static Failure import_error(std::string message);
    // "'{source}' object cannot be cast as '{target}'", with "argument '{argument}': "
    // in front when an argument name is given. The text is formatted only when
    // the exception is built.
    static Failure cast(PyTypeObject* source, const char* target, const char* argument = nullptr);
    static Failure borrow_error();
    static Failure none_set();
    static Failure no_memory();
    // A fault's text is copied here, where a copy that cannot be made leaves a
    // fixed text; whatever else fails while it is raised becomes MemoryError.
    static Failure panic(std::string&& message) noexcept;
    static Failure panic(const std::string& message) noexcept;
    static Failure panic(const char* message) noexcept;
    static Failure materialised(Ref type, Ref value, Ref traceback);
    // The exception the interpreter holds now, left where it is: raising it
    // changes nothing, and it is fetched only if it is inspected. Until then no
    // other host call may set, clear or fetch the interpreter's error state.
    static Failure left_pending();

    Failure(Failure&&) noexcept = default;
    Failure& operator=(Failure&&) noexcept = default;
    Failure(const Failure&) = delete;
    Failure& operator=(const Failure&) = delete;
    ~Failure() = default;

    // Makes this failure the interpreter's pending exception. A failure whose
    // exception cannot be made (its text or its arguments need memory the host
    // no longer has) is raised as MemoryError: reporting never fails.
    void restore() && noexcept;

    // Inspection materialises the failure first (once). Borrowed references.
    PyObject* type();
    // Whether the type is exactly `type`, without fetching a pending exception.
    bool has_exact_type(PyObject* type);
    PyObject* value();
    Ref cause();
    void set_cause(Ref cause);

private:
    enum class Kind { message, message_object, cast, no_memory, panic, pending, materialised };
    Failure(Kind kind, PyObject* type, std::string text) noexcept;
    void materialise();
    void raise_deferred() noexcept;
    Ref deferred_argument();

    Kind kind_;
    PyObject* static_type_ = nullptr;  // a host exception class, never released
    std::string text_;                  // message, or the cast's target
    const char* fixed_text_ = nullptr;  // panic: a static text used instead of text_
    const char* argument_ = nullptr;    // cast: argument name, when wrapped
    Ref source_;                        // cast: the offending object's type; message_object: the message
    Ref type_, value_, traceback_;      // materialised state
    bool materialising_ = false;
};

template <class T>
using Result = std::expected<T, Failure>;
using Status = Result<void>;

inline std::unexpected<Failure> fail(Failure failure) { return std::unexpected<Failure>(std::move(failure)); }

// Ends the calling function with the failure of `expression` (a Result or a
// Status) when it holds one; the expression is evaluated once.
#define CORVANE_TRY(expression)                                              \
    do {                                                                     \
        if (auto&& corvane_tried = (expression); !corvane_tried) {           \
            return ::corvane::frame::fail(std::move(corvane_tried.error())); \
        }                                                                    \
    } while (false)

// The interpreter's pending exception, fetched (none is pending any more) and
// normalised, in owned references; all null when none was pending.
struct FetchedException {
    Ref type, value, traceback;
};
FetchedException fetch_normalised();

// The pending exception as a failure, or nothing when none is pending. A pending
// PanicException is not returned: it resumes the fault it stands for.
std::optional<Failure> take();
// Like take(), but an exception other than PanicException stays pending: on
// PyPy, fetching an exception that Python code raised converts its traceback
// and the frames behind it, and near the stack limit that conversion fails
// fatally inside the host. An exception left pending goes back to Python code
// unconverted.
std::optional<Failure> take_leaving_pending();
// Like take(), for host calls that signalled failure: nothing pending is itself
// a failure (SystemError).
Failure fetch();

// For host calls that must return a new object: a null result is a fault.
Ref must(PyObject* made);

// Raises the failure and hands it straight to the interpreter's unraisable hook.
void write_unraisable(Failure failure, PyObject* object);

}  // namespace corvane::frame
