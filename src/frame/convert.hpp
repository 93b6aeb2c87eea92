// Conversions between Python objects and the store's values.
#pragma once

#include "frame/failure.hpp"
#include "store/store.hpp"

namespace corvane::frame {

// A float from any object the host's float conversion accepts; an exact float
// is read in place without a call into the host.
Result<double> to_double(PyObject* object);

// A new store from a dict (or subclass) walked with the host's dict iteration.
Result<store::Store> store_from_dict(PyObject* dict);

// A new dict of exact str keys and exact float values.
Result<PyObject*> store_to_dict(const store::Store& store);

}  // namespace corvane::frame
