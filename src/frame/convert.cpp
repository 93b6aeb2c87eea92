#include "frame/convert.hpp"

#include "store/fault.hpp"

#include <array>
#include <string_view>
#include <vector>

namespace corvane::frame {

Result<double> to_double(PyObject* object)
{
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        if (std::optional<Failure> failure = take()) {
            return fail(std::move(*failure));
        }
    }
    return value;
}

namespace {

// One entry's key and value as the builder takes them. The key's UTF-8 buffer
// belongs to the str, which the caller keeps alive until the entry is stored.
Result<store::StoreBuilder::Entry> convert_entry(PyObject* key, PyObject* value)
{
    if (!PyUnicode_Check(key)) {
        return fail(Failure::cast(Py_TYPE(key), "str"));
    }
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
    if (utf8 == nullptr) {
        return fail(fetch());
    }
    Result<double> number = to_double(value);
    if (!number) {
        return fail(std::move(number.error()));
    }
    return store::StoreBuilder::Entry{std::string_view(utf8, static_cast<std::size_t>(length)), *number};
}

// Converted entries wait here, with their keys held, until a batch is full:
// the builder inserts a batch faster than the same entries one by one.
class PendingEntries {
public:
    explicit PendingEntries(store::StoreBuilder& builder) noexcept : builder_(builder) {}

    Status add(PyObject* key, PyObject* value)
    {
        Result<store::StoreBuilder::Entry> entry = convert_entry(key, value);
        if (!entry) {
            return fail(std::move(entry.error()));
        }
        held_[count_] = Ref::borrow(key);
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

void check_size(PyObject* dict, Py_ssize_t size_at_start)
{
    if (PyDict_Size(dict) != size_at_start) {
        store::fault("dictionary changed size during iteration");
    }
}

}  // namespace

#if !defined(PYPY_VERSION)

Result<store::Store> store_from_dict(PyObject* dict)
{
    const Py_ssize_t size_at_start = PyDict_Size(dict);
    store::StoreBuilder builder(static_cast<std::size_t>(size_at_start));
    PendingEntries pending(builder);
    Py_ssize_t remaining = size_at_start;
    Py_ssize_t position = 0;
    for (;;) {
        // A value's conversion can run Python code that changes the dict; the
        // walk must not go on over a table that moved under it.
        check_size(dict, size_at_start);
        if (remaining == -1) {
            store::fault("dictionary keys changed during iteration");
        }
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (PyDict_Next(dict, &position, &key, &value) == 0) {
            break;
        }
        --remaining;
        Ref hold_key = Ref::borrow(key);
        Ref hold_value = Ref::borrow(value);
        if (Status put = pending.add(key, value); !put) {
            return fail(std::move(put.error()));
        }
    }
    pending.flush();
    return std::move(builder).finish();
}

#else

bool same_text(PyObject* a, PyObject* b)
{
    if (a == b) {
        return true;
    }
    Py_ssize_t size_a = 0, size_b = 0;
    const char* text_a = PyUnicode_Check(a) ? PyUnicode_AsUTF8AndSize(a, &size_a) : nullptr;
    const char* text_b = text_a != nullptr ? PyUnicode_AsUTF8AndSize(b, &size_b) : nullptr;
    if (text_b == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(text_a, static_cast<std::size_t>(size_a)) ==
           std::string_view(text_b, static_cast<std::size_t>(size_b));
}

// PyPy's dict iteration aborts the whole process when a key it has yet to visit
// was deleted since the walk began, so nothing may run Python code between two
// of its steps. The entries are therefore gathered first (no Python code runs
// while gathering), then converted; a change made by a conversion shows up as a
// new size, or, with the size kept, as a different sequence of keys when the
// dict is walked once more at the end.
Result<store::Store> store_from_dict(PyObject* dict)
{
    struct Entry {
        Ref key, value;
    };
    const Py_ssize_t size_at_start = PyDict_Size(dict);
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(size_at_start));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value) != 0) {
        entries.push_back({Ref::borrow(key), Ref::borrow(value)});
    }
    store::StoreBuilder builder(entries.size());
    PendingEntries pending(builder);
    bool ran_python_code = false;
    for (const Entry& entry : entries) {
        check_size(dict, size_at_start);
        // Exact floats, ints and bools convert without running Python code.
        PyObject* number = entry.value.get();
        ran_python_code = ran_python_code || !(PyFloat_CheckExact(number) || PyLong_CheckExact(number) ||
                                               PyBool_Check(number));
        if (Status put = pending.add(entry.key.get(), number); !put) {
            return fail(std::move(put.error()));
        }
    }
    pending.flush();
    if (ran_python_code) {
        check_size(dict, size_at_start);
        position = 0;
        for (const Entry& entry : entries) {
            // PyPy may hand out a new object for the same key: compare the text.
            if (PyDict_Next(dict, &position, &key, &value) == 0 || !same_text(key, entry.key.get())) {
                store::fault("dictionary keys changed during iteration");
            }
        }
    }
    return std::move(builder).finish();
}

#endif

namespace {

// A dict sized for n entries up front, so that filling it never resizes.
PyObject* new_dict(std::size_t n)
{
#if defined(PYPY_VERSION)
    (void)n;  // PyPy offers C code no presized dict
    return PyDict_New();
#else
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
#endif
}

}  // namespace

Result<PyObject*> store_to_dict(const store::Store& store)
{
    const std::size_t count = store.size();
    Ref dict = must(new_dict(count));
    const double* values = store.values->data();
    for (std::size_t position = 0; position < count; ++position) {
        std::string_view key = store.keys->key(position);
        Ref text = must(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        Ref number = must(PyFloat_FromDouble(values[position]));
        if (PyDict_SetItem(dict.get(), text.get(), number.get()) != 0) {
            return fail(fetch());
        }
    }
    return dict.release();
}

}  // namespace corvane::frame
