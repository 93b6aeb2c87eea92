// Conversions between Python objects and the store's values.
#pragma once

#include "frame/failure.hpp"
#include "store/store.hpp"

namespace corvane::frame {

// A float from any object the host's float conversion accepts.
Result<double> to_double_by_host(PyObject* object);

// The same, but an exact float is read in place without a call into the host;
// inline, since a dict walk converts every value with it.
inline Result<double> to_double(PyObject* object)
{
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    return to_double_by_host(object);
}

// A new store from a dict (or subclass) walked with the host's dict iteration.
Result<store::Store> store_from_dict(PyObject* dict);

// A new dict of exact str keys and exact float values.
Result<PyObject*> store_to_dict(const store::Store& store);

}  // namespace corvane::frame
