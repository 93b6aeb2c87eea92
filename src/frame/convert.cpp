#include "frame/convert.hpp"

#include "frame/bulk.hpp"
#include "frame/recursion_guard.hpp"
#include "store/fault.hpp"

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace corvane::frame {

Result<double> to_double(PyObject* object)
{
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    Result<RecursionGuard> guard = RecursionGuard::enter(" while calling a Python object");
    if (!guard) {
        return fail(std::move(guard.error()));
    }
    double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        // What __float__ raised goes back as it is; see take_leaving_pending().
        if (std::optional<Failure> failure = take_leaving_pending()) {
            return fail(std::move(*failure));
        }
    }
    return value;
}

namespace {

// The UTF-8 text of a key that passed PyUnicode_Check. `holder` keeps alive
// whatever owns the bytes until the caller has copied them.
Result<std::string_view> key_text(PyObject* key, Ref& holder)
{
#if defined(PYPY_VERSION)
    // PyPy reports the length of a str subclass's UTF-8 text through the
    // subclass's own __len__, which would have us read past the buffer (or
    // drop the key's tail); the encoded copy carries its true length.
    if (!PyUnicode_CheckExact(key)) {
        holder = Ref::steal(PyUnicode_AsUTF8String(key));
        if (!holder) {
            return fail(fetch());
        }
        return std::string_view(PyBytes_AsString(holder.get()), static_cast<std::size_t>(PyBytes_Size(holder.get())));
    }
#endif
    (void)holder;
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
    if (utf8 == nullptr) {
        return fail(fetch());
    }
    return std::string_view(utf8, static_cast<std::size_t>(length));
}

// One entry's key and value as the builder takes them. `holder` receives what
// keeps the key's bytes alive (the str itself, or an encoded copy of it) until
// the entry is stored.
Result<store::StoreBuilder::Entry> convert_entry(PyObject* key, PyObject* value, Ref& holder)
{
    if (!PyUnicode_Check(key)) {
        return fail(Failure::cast(Py_TYPE(key), "str"));
    }
    Result<std::string_view> text = key_text(key, holder);
    if (!text) {
        return fail(std::move(text.error()));
    }
    Result<double> number = to_double(value);
    if (!number) {
        return fail(std::move(number.error()));
    }
    if (!holder) {
        holder = Ref::borrow(key);
    }
    return store::StoreBuilder::Entry{*text, *number};
}

// The number of entries the dict holds. PyPy answers PyDict_Size for a dict
// subclass by calling the subclass's __len__, which may lie, raise or run any
// code; dict's own __len__ reads the storage that PyDict_Next walks.
Py_ssize_t stored_size(PyObject* dict)
{
#if defined(PYPY_VERSION)
    if (!PyDict_CheckExact(dict)) {
        Ref own_len = must(PyObject_GetAttrString(as_object(&PyDict_Type), "__len__"));
        Ref size = must(PyObject_CallFunctionObjArgs(own_len.get(), dict, nullptr));
        return PyLong_AsSsize_t(size.get());
    }
#endif
    return PyDict_Size(dict);
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
        if (!entry) {
            return fail(std::move(entry.error()));
        }
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

void check_size(PyObject* dict, Py_ssize_t size_at_start)
{
    if (stored_size(dict) != size_at_start) {
        store::fault("dictionary changed size during iteration");
    }
}

}  // namespace

#if !defined(PYPY_VERSION)

Result<store::Store> walk_entries(PyObject* dict)
{
    Result<RecursionGuard> guard = RecursionGuard::enter(" while reading a dict");
    if (!guard) {
        return fail(std::move(guard.error()));
    }
    const Py_ssize_t size_at_start = stored_size(dict);
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
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b)) {
        return false;
    }
    Ref hold_a, hold_b;
    Result<std::string_view> text_a = key_text(a, hold_a);
    Result<std::string_view> text_b = text_a ? key_text(b, hold_b) : Result<std::string_view>(std::string_view());
    if (!text_a || !text_b) {
        return false;  // a key that has no text was refused on the first walk already
    }
    return *text_a == *text_b;
}

struct Entry {
    Ref key, value;
};

// The dict's entries, gathered while no Python code runs. PyDict_Next serves
// an exact dict; for a subclass PyPy's PyDict_Next fetches each value through
// the subclass's __getitem__, which may run any code, even delete a key the
// walk has yet to reach, and such a walk ends the process. dict's own items()
// view reads the storage without consulting the subclass.
Result<std::vector<Entry>> gather_entries(PyObject* dict, Py_ssize_t expected)
{
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(expected));
    if (PyDict_CheckExact(dict)) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value) != 0) {
            entries.push_back({Ref::borrow(key), Ref::borrow(value)});
        }
        return entries;
    }
    Ref items_of = must(PyObject_GetAttrString(as_object(&PyDict_Type), "items"));
    Ref view = must(PyObject_CallFunctionObjArgs(items_of.get(), dict, nullptr));
    Ref iterator = must(PyObject_GetIter(view.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        entries.push_back({Ref::borrow(PyTuple_GetItem(item.get(), 0)), Ref::borrow(PyTuple_GetItem(item.get(), 1))});
    }
    if (PyErr_Occurred() != nullptr) {
        return fail(fetch());
    }
    return entries;
}

// PyPy's dict iteration aborts the whole process when a key it has yet to visit
// was deleted since the walk began, so nothing may run Python code between two
// of its steps. The entries are therefore gathered first, then converted; a
// change made by a conversion shows up as a new size, or, with the size kept,
// as a different sequence of keys when the dict is gathered once more at the end.
Result<store::Store> walk_entries(PyObject* dict)
{
    Result<RecursionGuard> guard = RecursionGuard::enter(" while reading a dict");
    if (!guard) {
        return fail(std::move(guard.error()));
    }
    const Py_ssize_t size_at_start = stored_size(dict);
    Result<std::vector<Entry>> entries = gather_entries(dict, size_at_start);
    if (!entries) {
        return fail(std::move(entries.error()));
    }
    store::StoreBuilder builder(entries->size());
    PendingEntries pending(builder);
    bool ran_python_code = false;
    for (const Entry& entry : *entries) {
        check_size(dict, size_at_start);
        // Exact floats, ints and bools convert without running Python code.
        PyObject* number = entry.value.get();
        ran_python_code = ran_python_code ||
                          !(PyFloat_CheckExact(number) || PyLong_CheckExact(number) || PyBool_Check(number));
        if (Status put = pending.add(entry.key.get(), number); !put) {
            return fail(std::move(put.error()));
        }
    }
    pending.flush();
    if (ran_python_code) {
        check_size(dict, size_at_start);
        Result<std::vector<Entry>> again = gather_entries(dict, size_at_start);
        if (!again) {
            return fail(std::move(again.error()));
        }
        for (std::size_t i = 0; i < entries->size(); ++i) {
            // PyPy may hand out a new object for the same key: compare the text.
            if (i >= again->size() || !same_text((*again)[i].key.get(), (*entries)[i].key.get())) {
                store::fault("dictionary keys changed during iteration");
            }
        }
    }
    return std::move(builder).finish();
}

#endif

Result<store::Store> store_from_dict(PyObject* dict)
{
    if (std::optional<Result<store::Store>> bulk = store_from_plain_dict(dict)) {
        return std::move(*bulk);
    }
    return walk_entries(dict);
}

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

// True when every byte is below 0x80: such UTF-8 is its own code points.
[[maybe_unused]] bool is_ascii(std::string_view text) noexcept
{
    unsigned char seen = 0;
    for (char c : text) {
        seen |= static_cast<unsigned char>(c);
    }
    return seen < 0x80;
}

// A new str of a key's UTF-8 bytes. On CPython an ASCII key (most are) is
// copied straight into a str made for one-byte characters, which skips the
// decoder; every other key is decoded. PyPy reaches this only for the few
// entries that its bulk export leaves to the walk.
PyObject* new_key_text(std::string_view key)
{
#if !defined(PYPY_VERSION)
    if (is_ascii(key)) {
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(key.size()), 127);
        if (text != nullptr && !key.empty()) {  // the empty str is shared: it is left as it is
            std::memcpy(PyUnicode_1BYTE_DATA(text), key.data(), key.size());
        }
        return text;
    }
#endif
    return PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
}

}  // namespace

Result<PyObject*> store_to_dict(const store::Store& store)
{
    if (std::optional<Result<PyObject*>> bulk = plain_dict_from_store(store)) {
        return std::move(*bulk);
    }
    const std::size_t count = store.size();
    Ref dict = must(new_dict(count));
    const double* values = store.values->data();
    for (std::size_t position = 0; position < count; ++position) {
        std::string_view key = store.keys->key(position);
        Ref text = must(new_key_text(key));
        Ref number = must(PyFloat_FromDouble(values[position]));
        if (PyDict_SetItem(dict.get(), text.get(), number.get()) != 0) {
            return fail(fetch());
        }
    }
    return dict.release();
}

}  // namespace corvane::frame
