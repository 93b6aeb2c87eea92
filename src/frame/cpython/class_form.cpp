// How CPython calls the constructor, and what its class needs after creation.
#include "frame/boundary.hpp"
#include "frame/docstrings.hpp"
#include "frame/host_policy.hpp"
#include "frame/methods.hpp"

#include <cstring>

namespace corvane::frame {

namespace {

// The constructor slot.
PyObject* construct_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept
{
    return boundary([&]() -> Result<PyObject*> { return construct_from_tuple(type, args, kwargs); });
}

}  // namespace

PyMethodDef* class_methods() { return method_table; }

PyType_Slot constructor_slot() { return {Py_tp_new, reinterpret_cast<void*>(construct_entry)}; }

Status finish_class([[maybe_unused]] PyObject* type)
{
#if PY_VERSION_HEX < 0x030A0000
    // CPython 3.9 copies a spec's docstring without its signature line, which
    // loses __text_signature__ (and inspect.signature) of the class. The type
    // owns its copy and frees it with PyObject_Free, so it can be given a copy
    // of the whole text; __doc__ was already set from the shortened one.
    auto* whole = static_cast<char*>(PyObject_Malloc(sizeof docs::class_doc));
    if (whole == nullptr) {
        return fail(Failure::no_memory());
    }
    std::memcpy(whole, docs::class_doc, sizeof docs::class_doc);
    auto* heap_type = reinterpret_cast<PyTypeObject*>(type);
    PyObject_Free(const_cast<char*>(heap_type->tp_doc));
    heap_type->tp_doc = whole;
    PyType_Modified(heap_type);
#endif
    return {};
}

}  // namespace corvane::frame
