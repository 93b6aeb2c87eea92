#include "frame/failure.hpp"

#include "frame/panic.hpp"
#include "store/fault.hpp"

#include <new>
#include <string>

namespace corvane::frame {

Failure::Failure(Kind kind, PyObject* type, std::string text) noexcept
    : kind_(kind), static_type_(type), text_(std::move(text))
{
}

Failure Failure::type_error(std::string message) { return {Kind::message, PyExc_TypeError, std::move(message)}; }

Failure Failure::type_error(Ref message)
{
    Failure failure(Kind::message_object, PyExc_TypeError, {});
    failure.source_ = std::move(message);
    return failure;
}

Failure Failure::runtime_error(std::string message) { return {Kind::message, PyExc_RuntimeError, std::move(message)}; }

Failure Failure::import_error(std::string message) { return {Kind::message, PyExc_ImportError, std::move(message)}; }

Failure Failure::cast(PyTypeObject* source, const char* target, const char* argument)
{
    Failure failure(Kind::cast, PyExc_TypeError, target);
    failure.source_ = Ref::borrow(as_object(source));
    failure.argument_ = argument;
    return failure;
}

Failure Failure::borrow_error() { return runtime_error("Already mutably borrowed"); }

Failure Failure::none_set()
{
    return {Kind::message, PyExc_SystemError, "attempted to fetch exception but none was set"};
}

Failure Failure::no_memory() { return {Kind::no_memory, PyExc_MemoryError, {}}; }

Failure Failure::panic(std::string&& message) noexcept { return {Kind::panic, nullptr, std::move(message)}; }

Failure Failure::panic(const std::string& message) noexcept { return panic(message.c_str()); }

Failure Failure::panic(const char* message) noexcept
{
    Failure failure(Kind::panic, nullptr, {});
    try {
        failure.text_ = message;
    } catch (const std::bad_alloc&) {
        failure.fixed_text_ = "native code panicked";
    }
    return failure;
}

Failure Failure::materialised(Ref type, Ref value, Ref traceback)
{
    Failure failure(Kind::materialised, nullptr, {});
    failure.type_ = std::move(type);
    failure.value_ = std::move(value);
    failure.traceback_ = std::move(traceback);
    return failure;
}

Failure Failure::left_pending() { return {Kind::pending, nullptr, {}}; }

namespace {

std::string cast_text(PyTypeObject* source, const std::string& target, const char* argument)
{
    std::string name;
    if (!type_qualname(source, name)) {
        name = "<failed to extract type name>";
    }
    std::string text;
    if (argument != nullptr) {
        text.append("argument '").append(argument).append("': ");
    }
    text.append("'").append(name).append("' object cannot be cast as '").append(target).append("'");
    return text;
}

// Null, with the host's MemoryError pending, when there is no memory for it.
// Bytes that are not UTF-8 are replaced, so memory is the only thing it can lack.
Ref text_object(const char* text, std::size_t size)
{
    return Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), "replace"));
}

Ref text_object(const std::string& text) { return text_object(text.data(), text.size()); }

}  // namespace

// The exception's argument; null when it cannot be made. Everything it builds
// is new text or a new tuple, so a failure here (a null from the host, a
// bad_alloc, or a fault from making the panic class) is the host or the
// process out of memory.
Ref Failure::deferred_argument()
{
    switch (kind_) {
    case Kind::panic: {
        Ref text = fixed_text_ != nullptr ? text_object(fixed_text_, std::char_traits<char>::length(fixed_text_))
                                          : text_object(text_);
        Ref argument = text ? Ref::steal(PyTuple_New(1)) : Ref();
        if (argument) {
            PyTuple_SetItem(argument.get(), 0, text.release());
        }
        return argument;
    }
    case Kind::message_object:
        return Ref::borrow(source_.get());
    case Kind::cast:
        return text_object(cast_text(reinterpret_cast<PyTypeObject*>(source_.get()), text_, argument_));
    default:
        return text_object(text_);
    }
}

// Sets the pending exception from the deferred makings, then leaves it pending
// in normalised form, as the interpreter's own raise would. A failure that
// cannot be described (a long type name while memory is short, say) still
// surfaces, as MemoryError: ending the process instead would let a caller's
// argument decide whether the process lives.
void Failure::raise_deferred() noexcept
{
    PyObject* type = static_type_;
    Ref argument;
    if (kind_ != Kind::no_memory) {
        try {
            if (kind_ == Kind::panic) {
                type = panic_exception_type();
            }
            argument = deferred_argument();
        } catch (...) {
            argument = Ref();
        }
    }
    if (!argument) {
        PyErr_Clear();
        PyErr_NoMemory();
        return;
    }
    if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, argument.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    FetchedException raised = fetch_normalised();
    PyErr_Restore(raised.type.release(), raised.value.release(), raised.traceback.release());
}

void Failure::restore() && noexcept
{
    if (kind_ == Kind::pending) {
        return;
    }
    if (kind_ != Kind::materialised) {
        raise_deferred();
        return;
    }
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void Failure::materialise()
{
    if (kind_ == Kind::materialised) {
        return;
    }
    if (materialising_) {
        store::fault("Re-entrant normalization of PyErrState detected");
    }
    materialising_ = true;
    if (kind_ != Kind::pending) {
        raise_deferred();
    }
    FetchedException raised = fetch_normalised();
    type_ = std::move(raised.type);
    value_ = std::move(raised.value);
    traceback_ = std::move(raised.traceback);
    kind_ = Kind::materialised;
    materialising_ = false;
    source_ = Ref();
}

PyObject* Failure::type()
{
    materialise();
    return type_.get();
}

PyObject* Failure::value()
{
    materialise();
    return value_.get();
}

bool Failure::has_exact_type(PyObject* type)
{
    if (kind_ == Kind::pending) {
        return PyErr_Occurred() == type;
    }
    return this->type() == type;
}

Ref Failure::cause()
{
    materialise();
    return Ref::steal(PyException_GetCause(value_.get()));
}

void Failure::set_cause(Ref cause)
{
    materialise();
    PyException_SetCause(value_.get(), cause.release());
}

FetchedException fetch_normalised()
{
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != nullptr) {
        PyErr_NormalizeException(&type, &value, &traceback);
    }
    return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

std::optional<Failure> take()
{
    FetchedException raised = fetch_normalised();
    if (!raised.type) {
        return std::nullopt;
    }
    if (raised.type.get() == panic_exception_type()) {
        resume_panic(std::move(raised.type), std::move(raised.value), std::move(raised.traceback));
    }
    return Failure::materialised(std::move(raised.type), std::move(raised.value), std::move(raised.traceback));
}

std::optional<Failure> take_leaving_pending()
{
    PyObject* raised = PyErr_Occurred();
    if (raised == nullptr) {
        return std::nullopt;
    }
    if (is_panic_exception_type(raised)) {
        return take();  // resumes the fault
    }
    return Failure::left_pending();
}

Failure fetch()
{
    if (std::optional<Failure> pending = take()) {
        return std::move(*pending);
    }
    return Failure::none_set();
}

Ref must(PyObject* made)
{
    if (made == nullptr) {
        PyErr_Print();
        store::fault("Python API call failed");
    }
    return Ref::steal(made);
}

void write_unraisable(Failure failure, PyObject* object)
{
    std::move(failure).restore();
    PyErr_WriteUnraisable(object);
}

}  // namespace corvane::frame
