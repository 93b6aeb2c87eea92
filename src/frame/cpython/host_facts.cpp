#include "frame/host_policy.hpp"

#include <cstring>

namespace corvane::frame {

Ref own_qualname(PyTypeObject* type)
{
#if PY_VERSION_HEX < 0x030B0000
    // Releases before 3.11 have no PyType_GetQualName.
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0) {
        return Ref::borrow(reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname);
    }
    const char* name = std::strrchr(type->tp_name, '.');
    return Ref::steal(PyUnicode_FromString(name != nullptr ? name + 1 : type->tp_name));
#else
    return Ref::steal(PyType_GetQualName(type));
#endif
}

// The module's cells hold objects of one interpreter (see module.cpp).
bool in_main_interpreter() { return PyInterpreterState_Get() == PyInterpreterState_Main(); }

}  // namespace corvane::frame
