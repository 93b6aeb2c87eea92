// The one place that includes the interpreter's headers. Everything else in the
// frame layer reaches the host through this file, so the list of host calls the
// module depends on stays short and visible.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace corvane::frame {

// An owned (strong) reference. Releasing happens on every path, faults included.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept
    {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept
    {
        Ref old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

inline PyObject* as_object(PyTypeObject* type) noexcept { return reinterpret_cast<PyObject*>(type); }

// The qualified name of a type as UTF-8, lone surrogates shown as U+FFFD.
// Empty when the host cannot tell it (the caller words that case itself).
bool type_qualname(PyTypeObject* type, std::string& out);

// Decodes bytes as UTF-8, replacing every invalid sequence by U+FFFD.
std::string utf8_lossy(const char* data, std::size_t size);

// str(object) as UTF-8; false (with the host's exception pending) when str() fails.
bool object_text(PyObject* object, std::string& out);

}  // namespace corvane::frame
