// The host's built-in functions and types that the bulk crossing calls, taken
// from the real objects once, while the module is initialised, and checked to
// be what they claim: a later rebinding of a name, or a module that Python
// code put in sys.modules, cannot change what the crossing calls.
#pragma once

#include "frame/failure.hpp"

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

// The result of calling a builtin with `arguments`, or what it raised.
Result<Ref> call(PyObject* callable, auto... arguments)
{
    Ref made = Ref::steal(PyObject_CallFunctionObjArgs(callable, arguments..., nullptr));
    if (!made) {
        return fail(raised_by_host());
    }
    return made;
}

}  // namespace corvane::frame
