#include "frame/host_policy.hpp"

namespace corvane::frame {

// PyPy 7.3.19's PyType_GetQualName gives the full name of a type made from a
// spec ("builtins.CorvaneDict"), and 7.3.11 has none; type's own descriptor
// reads the name the type holds.
Ref own_qualname(PyTypeObject* type)
{
    Ref members = Ref::steal(PyObject_GetAttrString(as_object(&PyType_Type), "__dict__"));
    Ref descriptor = members ? Ref::steal(PyMapping_GetItemString(members.get(), "__qualname__")) : Ref();
    if (!descriptor) {
        return {};
    }
    return Ref::steal(PyObject_CallMethod(descriptor.get(), "__get__", "O", as_object(type)));
}

bool in_main_interpreter()
{
    return true;  // one interpreter per process
}

}  // namespace corvane::frame
