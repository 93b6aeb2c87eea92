#include "frame/convert.hpp"

#include "frame/dict_walk.hpp"
#include "frame/host_policy.hpp"
#include "frame/recursion_guard.hpp"
#include "store/fault.hpp"

#include <cstring>
#include <string_view>

namespace corvane::frame {

Result<double> to_double_by_host(PyObject* object)
{
#if !defined(PYPY_VERSION)
    // CPython counts calls, and a __float__ written in Python is one. PyPy
    // measures stack, which the entry that leads here has already checked
    // with room to spare (see boundary.hpp); a second check a few frames
    // below would only cost a host call per value.
    Result<RecursionGuard> guard = RecursionGuard::enter(" while calling a Python object");
    CORVANE_TRY(guard);
#endif
    double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        // What __float__ raised goes back as it is; see take_leaving_pending().
        if (std::optional<Failure> failure = take_leaving_pending()) {
            return fail(std::move(*failure));
        }
    }
    return value;
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
