// Reading a dict entry by entry into a store. Each host walks its dicts its
// own way (walk_entries, key_text and stored_size in host_policy.hpp, defined
// in the host's folder); the conversion of an entry and the batching are
// shared, and inline here, since the walk runs them for every entry.
#pragma once

#include "frame/convert.hpp"
#include "frame/failure.hpp"
#include "frame/host_policy.hpp"
#include "store/fault.hpp"
#include "store/store.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace corvane::frame {

// The text the host keeps for a str, valid while the str lives.
inline Result<std::string_view> stored_text(PyObject* key)
{
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
    if (utf8 == nullptr) {
        return fail(fetch());
    }
    return std::string_view(utf8, static_cast<std::size_t>(length));
}

// A fault when the dict no longer holds `size_at_start` entries.
inline void check_size(PyObject* dict, Py_ssize_t size_at_start)
{
    if (stored_size(dict) != size_at_start) {
        store::fault("dictionary changed size during iteration");
    }
}

// One entry's key and value as the builder takes them. `holder` receives what
// keeps the key's bytes alive (the str itself, or an encoded copy of it) until
// the entry is stored.
inline Result<store::StoreBuilder::Entry> convert_entry(PyObject* key, PyObject* value, Ref& holder)
{
    if (!PyUnicode_Check(key)) {
        return fail(Failure::cast(Py_TYPE(key), "str"));
    }
    Result<std::string_view> text = key_text(key, holder);
    CORVANE_TRY(text);
    Result<double> number = to_double(value);
    CORVANE_TRY(number);
    if (!holder) {
        holder = Ref::borrow(key);
    }
    return store::StoreBuilder::Entry{*text, *number};
}

// Converted entries wait here, with their keys held, until a batch is full:
// the builder inserts a batch faster than the same entries one by one.
class PendingEntries {
public:
    explicit PendingEntries(store::StoreBuilder& builder) noexcept : builder_(builder) {}

    Status add(PyObject* key, PyObject* value)
    {
        Ref holder;
        Result<store::StoreBuilder::Entry> entry = convert_entry(key, value, holder);
        CORVANE_TRY(entry);
        held_[count_] = std::move(holder);
        entries_[count_] = *entry;
        if (++count_ == batch) {
            flush();
        }
        return {};
    }

    void flush()
    {
        builder_.put_all(entries_.data(), count_);
        for (std::size_t i = 0; i < count_; ++i) {
            held_[i] = Ref();
        }
        count_ = 0;
    }

private:
    static constexpr std::size_t batch = 64;
    store::StoreBuilder& builder_;
    std::array<Ref, batch> held_;
    std::array<store::StoreBuilder::Entry, batch> entries_{};
    std::size_t count_ = 0;
};

}  // namespace corvane::frame
