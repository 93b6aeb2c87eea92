#include "frame/host.hpp"

#include "frame/host_policy.hpp"

#include <cstring>

namespace corvane::frame {

std::string utf8_lossy(const char* data, std::size_t size)
{
    static constexpr char replacement[] = "\xEF\xBF\xBD";
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    std::string out;
    out.reserve(size);
    std::size_t i = 0;
    while (i < size) {
        unsigned char lead = bytes[i];
        std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 0;
        bool valid = length != 0 && i + length <= size && !(length == 2 && lead < 0xC2);
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (bytes[i + k] & 0xC0) == 0x80;
        }
        if (valid && length >= 3) {
            unsigned second = bytes[i + 1];
            // Reject overlong forms, surrogates and code points past U+10FFFF.
            valid = !(lead == 0xE0 && second < 0xA0) && !(lead == 0xED && second >= 0xA0) &&
                    !(lead == 0xF0 && second < 0x90) && !(lead == 0xF4 && second >= 0x90) && lead <= 0xF4;
        }
        if (valid) {
            out.append(data + i, length);
            i += length;
        } else {
            out.append(replacement);
            ++i;
        }
    }
    return out;
}

namespace {

// A str's text as UTF-8; lone surrogates pass through the encoder and are then
// replaced, so a name is always shown rather than lost.
bool text_of_str(PyObject* text, std::string& out)
{
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        out.assign(utf8, static_cast<std::size_t>(size));
        return true;
    }
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) {
        return false;
    }
    out = utf8_lossy(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
    return true;
}

}  // namespace

bool type_qualname(PyTypeObject* type, std::string& out)
{
    Ref name = own_qualname(type);
    if (!name || !PyUnicode_Check(name.get()) || !text_of_str(name.get(), out)) {
        PyErr_Clear();
        return false;
    }
    return true;
}

bool object_text(PyObject* object, std::string& out)
{
    Ref text = Ref::steal(PyObject_Str(object));
    return text && text_of_str(text.get(), out);
}

}  // namespace corvane::frame
