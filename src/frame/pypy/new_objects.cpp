// PyPy builds an exported dict entry by entry only for the few stores that the
// bulk crossing leaves to the walk (bulk_export.cpp).
#include "frame/host_policy.hpp"

namespace corvane::frame {

PyObject* new_dict(std::size_t /*n*/)
{
    return PyDict_New();  // PyPy offers C code no presized dict
}

PyObject* new_key_text(std::string_view key)
{
    return PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
}

}  // namespace corvane::frame
