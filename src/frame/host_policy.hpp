// The seam between the frame and the interpreter it is built for. Everything
// in which the hosts differ is declared here, once, and defined in the host's
// own folder beside this file: src/frame/pypy/ and src/frame/cpython/, the one
// the build takes by the name of the host it was asked for. Every other frame
// file is the same for all hosts. A difference between releases of one host
// (a function one release lacks) stays inside that host's folder.
//
// A new host means a new folder that defines everything below (and, for the
// fault injection build, the crossing's test hooks of test_hooks.cpp).
#pragma once

#include "frame/failure.hpp"
#include "frame/recursion_guard.hpp"
#include "store/store.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::frame {

// --- Stack checks (stack_checks.cpp) ---------------------------------------

// The check an entry function makes before its body calls into the host; the
// guard is held until the body returns. Nothing when the host checks its own
// stack in every function the body calls (CPython counts calls instead).
Result<std::optional<RecursionGuard>> guard_entry();

// The check before a value is converted by the host's float conversion, which
// may run a __float__ written in Python. Nothing when the entry's check has
// already left room for it.
Result<std::optional<RecursionGuard>> guard_conversion();

// --- The dict walk (dict_walk.cpp) -----------------------------------------

// The store of a dict (or subclass), walked with the host's dict iteration; a
// dict changed by the conversion of one of its values is a fault.
Result<store::Store> walk_entries(PyObject* dict);

// The UTF-8 text of a key that passed PyUnicode_Check. `holder` keeps alive
// whatever owns the bytes until the caller has copied them.
Result<std::string_view> key_text(PyObject* key, Ref& holder);

// The number of entries the dict holds, read without running Python code.
Py_ssize_t stored_size(PyObject* dict);

// --- The bulk crossing (bulk_*.cpp) ----------------------------------------
//
// Crossing the host boundary once per dict instead of once per entry. A host
// that makes a C-level copy of every object it hands to C code (PyPy does,
// for each key and value a dict walk meets) pays more for the crossing than
// for anything the store does with an entry. Where reading a dict cannot run
// Python code, its contents can cross as a few objects of the host's own (a
// str of all keys, an array of all values), made and taken apart by the
// host's built-in functions and types called from C. A host whose objects
// already are C-level has nothing to gain, and serves nothing in bulk.

// Takes what the bulk crossing calls from the host's real objects, once, while
// the module is initialised: no later rebinding of a name can change it.
Status prepare_bulk_crossing();

// The store of `dict`, built from flat buffers, when the entry-by-entry walk
// could not tell the difference: an exact dict whose keys are exact str with
// valid UTF-8 text and whose values are exact float, int or bool, each int
// within float range. Nothing when the dict is anything else: the caller walks
// it entry by entry, which then decides every result and every error.
std::optional<Result<store::Store>> store_from_plain_dict(PyObject* dict);

// A new dict of the store's keys and values, made from flat buffers; nothing
// when this host builds it faster entry by entry.
std::optional<Result<PyObject*>> plain_dict_from_store(const store::Store& store);

// --- The export entry by entry (new_objects.cpp) ---------------------------

// A new dict that will hold `n` entries, sized up front where the host can.
PyObject* new_dict(std::size_t n);

// A new str of a key's UTF-8 bytes.
PyObject* new_key_text(std::string_view key);

// --- The memory the host is told about (memory_tracking.cpp) ---------------

// Tells the host of every block of the store (`bytes` long) handed out and
// given back, as much as its collector or its tracing needs. Stores are made
// and freed with the GIL held, so these are too.
void track_block(unsigned int domain, std::uintptr_t block, std::size_t bytes) noexcept;
void untrack_block(unsigned int domain, std::uintptr_t block, std::size_t bytes) noexcept;

// --- The class (class_form.cpp) --------------------------------------------

// The class's method table: the shared rows (methods.hpp), headed by a static
// __new__ where the host calls the constructor as a method.
PyMethodDef* class_methods();

// The constructor slot of the class's PyType_Spec; {0, nullptr} where the
// host takes the constructor from the method table instead. It is placed
// last, just before the slot list's terminator.
PyType_Slot constructor_slot();

// What the host needs done to the class after its creation (`type`, owned by
// the caller); a failure leaves the caller to drop the class.
Status finish_class(PyObject* type);

// --- Names and interpreters (host_facts.cpp) -------------------------------

// The qualified name the type itself holds, as CPython's PyType_GetQualName
// reads it: no metaclass is asked, so no Python code runs and none can lie.
// Empty (an exception may be pending) when the host cannot tell.
Ref own_qualname(PyTypeObject* type);

// Whether the calling thread runs in the process's main interpreter.
bool in_main_interpreter();

}  // namespace corvane::frame
