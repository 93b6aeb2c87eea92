// CPython's export goes entry by entry, into a dict sized up front.
#include "frame/host_policy.hpp"

#include <cstring>

namespace corvane::frame {

namespace {

// True when every byte is below 0x80: such UTF-8 is its own code points.
bool is_ascii(std::string_view text) noexcept
{
    unsigned char seen = 0;
    for (char c : text) {
        seen |= static_cast<unsigned char>(c);
    }
    return seen < 0x80;
}

}  // namespace

// Sized for n entries, so that filling it never resizes.
PyObject* new_dict(std::size_t n) { return _PyDict_NewPresized(static_cast<Py_ssize_t>(n)); }

// An ASCII key (most are) is copied straight into a str made for one-byte
// characters, which skips the decoder; every other key is decoded.
PyObject* new_key_text(std::string_view key)
{
    if (is_ascii(key)) {
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(key.size()), 127);
        if (text != nullptr && !key.empty()) {  // the empty str is shared: it is left as it is
            std::memcpy(PyUnicode_1BYTE_DATA(text), key.data(), key.size());
        }
        return text;
    }
    return PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
}

}  // namespace corvane::frame
