// The host's built-in functions and types that the bulk crossing calls, taken
// from the real objects once, while the module is initialised, and checked to
// be what they claim: a later rebinding of a name, or a module that Python
// code put in sys.modules, cannot change what the crossing calls.
#pragma once

#include "frame/failure.hpp"

#include <array>

namespace corvane::frame {

// What the crossing calls. `strategy` may be empty: it only lets common dicts
// skip a check that the others pass the long way.
struct Builtins {
    Ref map;           // the type map
    Ref array;         // the type array.array
    Ref same_object;   // object.__eq__: True for the very object, NotImplemented otherwise
    Ref encode;        // str.encode
    Ref bytes_length;  // bytes.__len__
    Ref list_count;    // list.count
    Ref strategy;      // __pypy__.strategy, the storage layout of a dict or list
    Ref double_code;   // "d"
    Ref length_code;   // "q"
    Ref separator;     // "\0"
    Ref one_double;    // array('d', [0.0]), repeated into an array to fill
    // Every one but `strategy` was found: the crossing may run. A host
    // without them walks every dict entry by entry.
    bool usable = false;
};

// The builtins as taken when the module was initialised (null before then).
Builtins* taken_builtins() noexcept;

// The builtins, or null when this host lacks one of them.
const Builtins* usable_builtins() noexcept;

// The host's own __pypy__.strategy, which names the storage layout of a dict
// or a list; null when the module that the import found does not hold it.
PyObject* storage_layout_function() noexcept;

// What a builtin raised goes back as it is: fetching it can fail inside the
// host near the stack limit (see take_leaving_pending()).
Failure raised_by_host();

// The result of calling a builtin with `arguments`; null, with the exception
// pending, when it raised. The arguments go as a vector, not as a tuple: PyPy
// builds the tuple of PyObject_CallFunctionObjArgs in C, and such a tuple
// drops its references only once the collector has freed it. Until then every
// argument counts as held by C, so the next minor collection keeps it, and
// all it reaches, alive into the old generation, where only a major
// collection frees it: a crossing whose dict, keys and values were arguments
// of some call left them all behind, and repeated crossings piled up several
// times the memory of the same loop in Python.
Ref call_leaving_pending(PyObject* callable, auto... arguments)
{
    // The slot before the arguments is the callee's to use (see
    // PY_VECTORCALL_ARGUMENTS_OFFSET).
    std::array<PyObject*, sizeof...(arguments) + 1> slots{nullptr, arguments...};
    return Ref::steal(PyObject_Vectorcall(callable, slots.data() + 1,
                                          sizeof...(arguments) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The same, with what it raised as the failure.
Result<Ref> call(PyObject* callable, auto... arguments)
{
    Ref made = call_leaving_pending(callable, arguments...);
    if (!made) {
        return fail(raised_by_host());
    }
    return made;
}

}  // namespace corvane::frame
