// What PyPy's two directions of the bulk crossing (bulk_construction.cpp,
// bulk_export.cpp) share: when they serve a dict, and how often they did.
//
// PyPy makes a C-level copy of every object it hands to C code, and frees it
// only when its collector runs: a dict walk pays for two copies an entry,
// several times what the store does with the entry. Here the entries cross as
// a few objects instead: one str of all keys joined by a separator (plus, when
// a key holds the separator itself, an array of the keys' byte lengths) and
// one array of the values as doubles. C reads and writes what crosses only
// through objects the host owns, while it holds their buffers; no memory of
// the module's is ever lent to Python. The stack is checked once, by the entry
// that leads here (see guard_entry).
#pragma once

#include "frame/host.hpp"

#include <atomic>
#include <cstddef>

namespace corvane::frame {

// Below these sizes the crossing's few calls cost more than going entry by
// entry. Measured on PyPy 7.3.11, 7.3.19 and 8.0.1: construction breaks even
// at 4 to 8 entries, the export at 8 to 16; at 2 entries the crossing takes
// 1.6 to 3 times as long as the walk.
inline constexpr Py_ssize_t smallest_bulk_construction = 8;
inline constexpr std::size_t smallest_bulk_export = 12;

// Dicts that crossed in bulk, either way, since the module was loaded: the
// tests of the fault injection build read it to see that the crossing ran.
inline std::atomic<std::size_t> bulk_crossings{0};

inline void count_bulk_crossing() noexcept { bulk_crossings.fetch_add(1, std::memory_order_relaxed); }

}  // namespace corvane::frame
