// What PyPy's two directions of the bulk crossing (bulk_construction.cpp,
// bulk_export.cpp) share: when they serve a dict, how often they did, and how
// they hold the buffers that cross.
//
// PyPy makes a C-level copy of every object it hands to C code, and frees it
// only when its collector runs: a dict walk pays for two copies an entry,
// several times what the store does with the entry. Here the entries cross as
// a few objects instead: one str of all keys joined by a separator (plus, when
// a key holds the separator itself, an array of the keys' byte lengths) and
// one array of the values as doubles. C reads and writes what crosses only
// through objects the host owns, while it holds them; no memory of the
// module's is ever lent to Python. What a crossing makes is garbage when it
// returns: C holds none of it past the call, and the items of the values'
// array, which the collector does not see, are freed before it (see
// empty_array). The stack is checked once, by the entry that leads here (see
// guard_entry).
#pragma once

#include "frame/failure.hpp"
#include "store/fault.hpp"

#include <atomic>
#include <cstddef>
#include <span>

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

// A buffer of an object the host owns, held while C reads or writes it.
class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    // `flags` asks for PyBUF_WRITABLE when C writes.
    Status take(PyObject* object, std::size_t expected_bytes, int flags = PyBUF_SIMPLE)
    {
        if (PyObject_GetBuffer(object, &view_, flags) != 0) {
            return fail(fetch());
        }
        held_ = true;
        if (view_.len < 0 || static_cast<std::size_t>(view_.len) != expected_bytes) {
            store::fault("a bulk buffer has an unexpected size");
        }
        return {};
    }

    template <class T>
    std::span<const T> as() const noexcept
    {
        return {static_cast<const T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
    }

    // Only for a buffer taken with PyBUF_WRITABLE.
    void* writable() const noexcept { return view_.buf; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Frees, now, the items of an array.array that only the crossing holds, once
// no buffer of it is held. PyPy keeps an array's items outside the collected
// heap and frees them with the array, when a collection finds it dead; a loop
// of crossings allocates too little of that heap to bring a collection soon,
// and the dead arrays' items piled up meanwhile. Emptying an array frees them
// at once.
inline void empty_array(PyObject* array) noexcept
{
    if (PySequence_DelSlice(array, 0, PY_SSIZE_T_MAX) != 0) {
        PyErr_Clear();  // the array then goes as it would have anyway
    }
}

}  // namespace corvane::frame
