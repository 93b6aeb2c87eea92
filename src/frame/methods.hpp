// The entry functions of CorvaneDict: each matches its arguments, borrows,
// converts, hands over to the store layer and wraps the result.
#pragma once

#include "frame/failure.hpp"
#include "frame/host.hpp"

#include <cstddef>

namespace corvane::frame {

// The methods, one row each, ending in the sentinel row; the host adds its
// constructor (see class_methods() and constructor_slot() in host_policy.hpp).
inline constexpr std::size_t method_count = 12;
extern PyMethodDef method_table[];
extern PyGetSetDef attribute_table[];

// The constructor's work, whichever way the host calls it: as a method, with
// the class as the first of `args` (vectorcall form), or as a Py_tp_new slot.
Result<PyObject*> construct_from_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<PyObject*> construct_from_tuple(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace corvane::frame
