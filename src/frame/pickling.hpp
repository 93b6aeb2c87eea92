// What pickle and copy call on an instance: the class's __reduce__.
#pragma once

#include "frame/host.hpp"

namespace corvane::frame {

// The module that holds the reconstructor, installed beside the extension.
// The class itself lives in "builtins", where pickle cannot find it by name,
// and the module's namespace holds the class alone.
inline constexpr const char reconstructor_module[] = "_corvane_pickle";
inline constexpr const char reconstructor_name[] = "rebuild";

// (rebuild, (keys, values)): the keys as a list of str in position order and
// the values as one bytes object of little-endian binary64, so that every bit
// of every value (NaN payloads, signed zeros) survives every pickle protocol,
// the text-based protocol 0 included.
PyObject* reduce_entry(PyObject* self, PyObject* ignored) noexcept;

}  // namespace corvane::frame
