// Crossing the host boundary once per dict instead of once per entry.
//
// A host that makes a C-level copy of every object it hands to C code (PyPy
// does, for each key and value a dict walk meets) pays more for the crossing
// than for anything the store does with an entry. Where reading a dict cannot
// run Python code, its contents can cross as a few objects of the host's own
// (a str of all keys, an array of all values), made and taken apart by the
// host's built-in functions and types called from C. A host whose objects
// already are C-level has nothing to gain, and serves nothing here.
#pragma once

#include "frame/failure.hpp"
#include "store/store.hpp"

#include <optional>

namespace corvane::frame {

// Takes what the bulk crossing calls from the host's real objects, once, while
// the module is initialised: no later rebinding of a name can change it.
Status prepare_bulk_crossing();

// The store of `dict`, built from flat buffers, when the entry-by-entry walk
// could not tell the difference: an exact dict whose keys are exact str with
// valid UTF-8 text and whose values are exact float, int or bool, each int
// within float range. Nothing when the dict is anything else: the caller walks
// it entry by entry, which then decides every result and every error.
std::optional<Result<store::Store>> store_from_plain_dict(PyObject* dict);

// A new dict of the store's keys and values, made from flat buffers; nothing
// when this host builds it faster entry by entry.
std::optional<Result<PyObject*>> plain_dict_from_store(const store::Store& store);

#if defined(PYPY_VERSION)
// The host's own __pypy__.strategy, which names the storage layout of a dict
// or a list; null when the module that the import found does not hold it.
PyObject* storage_layout_function() noexcept;
#endif

}  // namespace corvane::frame
