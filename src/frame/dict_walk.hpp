// Reading a dict entry by entry into a store. Each host walks its dicts its
// own way (the walk and the few steps that differ live in one file per host,
// chosen by the build); the conversion of an entry and the batching are shared.
#pragma once

#include "frame/failure.hpp"
#include "store/store.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace corvane::frame {

// The store of a dict (or subclass), walked with the host's dict iteration; a
// dict changed by the conversion of one of its values is a fault.
Result<store::Store> walk_entries(PyObject* dict);

// The UTF-8 text of a key that passed PyUnicode_Check. `holder` keeps alive
// whatever owns the bytes until the caller has copied them.
Result<std::string_view> key_text(PyObject* key, Ref& holder);

// The text the host keeps for a str, valid while the str lives.
Result<std::string_view> stored_text(PyObject* key);

// The number of entries the dict holds, read without running Python code.
Py_ssize_t stored_size(PyObject* dict);

// A fault when the dict no longer holds `size_at_start` entries.
void check_size(PyObject* dict, Py_ssize_t size_at_start);

// Converted entries wait here, with their keys held, until a batch is full:
// the builder inserts a batch faster than the same entries one by one.
class PendingEntries {
public:
    explicit PendingEntries(store::StoreBuilder& builder) noexcept : builder_(builder) {}

    Status add(PyObject* key, PyObject* value);
    void flush();

private:
    static constexpr std::size_t batch = 64;
    store::StoreBuilder& builder_;
    std::array<Ref, batch> held_;
    std::array<store::StoreBuilder::Entry, batch> entries_{};
    std::size_t count_ = 0;
};

}  // namespace corvane::frame
