#include "frame/convert.hpp"

#include "frame/bulk.hpp"
#include "frame/dict_walk.hpp"
#include "frame/recursion_guard.hpp"
#include "store/fault.hpp"

#include <string_view>

namespace corvane::frame {

Result<double> to_double(PyObject* object)
{
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    Result<RecursionGuard> guard = RecursionGuard::enter(" while calling a Python object");
    CORVANE_TRY(guard);
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

// One entry's key and value as the builder takes them. `holder` receives what
// keeps the key's bytes alive (the str itself, or an encoded copy of it) until
// the entry is stored.
Result<store::StoreBuilder::Entry> convert_entry(PyObject* key, PyObject* value, Ref& holder)
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

}  // namespace

Result<std::string_view> stored_text(PyObject* key)
{
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
    if (utf8 == nullptr) {
        return fail(fetch());
    }
    return std::string_view(utf8, static_cast<std::size_t>(length));
}

void check_size(PyObject* dict, Py_ssize_t size_at_start)
{
    if (stored_size(dict) != size_at_start) {
        store::fault("dictionary changed size during iteration");
    }
}

Status PendingEntries::add(PyObject* key, PyObject* value)
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

void PendingEntries::flush()
{
    builder_.put_all(entries_.data(), count_);
    for (std::size_t i = 0; i < count_; ++i) {
        held_[i] = Ref();
    }
    count_ = 0;
}

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
        Ref text = must(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        Ref number = must(PyFloat_FromDouble(values[position]));
        if (PyDict_SetItem(dict.get(), text.get(), number.get()) != 0) {
            return fail(fetch());
        }
    }
    return dict.release();
}

}  // namespace corvane::frame
