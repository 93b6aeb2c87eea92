// The entry functions of CorvaneDict: each matches its arguments, borrows,
// converts, hands over to the store layer and wraps the result.
#pragma once

#include "frame/host.hpp"

namespace corvane::frame {

extern PyMethodDef method_table[];
extern PyGetSetDef attribute_table[];

#if !defined(PYPY_VERSION)
// The constructor slot; PyPy has a static __new__ in the method table instead.
PyObject* construct_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
#endif

}  // namespace corvane::frame
