// CPython's dict iteration survives a dict that changes under it, and reads a
// subclass's storage without consulting the subclass: the walk converts each
// entry as it meets it and checks after every step that the dict stayed put.
#include "frame/dict_walk.hpp"
#include "store/fault.hpp"

namespace corvane::frame {

Result<std::string_view> key_text(PyObject* key, Ref& /*holder*/) { return stored_text(key); }

Py_ssize_t stored_size(PyObject* dict) { return PyDict_Size(dict); }

// The walk itself calls no Python code, so it takes no stack check of its own:
// a value that is not an exact number is converted under one (to_double_by_host),
// and a dict of exact numbers is read wherever the host could read it.
Result<store::Store> walk_entries(PyObject* dict)
{
    const Py_ssize_t size_at_start = stored_size(dict);
    store::StoreBuilder builder(static_cast<std::size_t>(size_at_start));
    PendingEntries pending(builder);
    Py_ssize_t remaining = size_at_start;
    Py_ssize_t position = 0;
    for (;;) {
        // A value's conversion can run Python code that changes the dict; the
        // walk must not go on over a table that moved under it.
        check_size(dict, size_at_start);
        if (remaining == -1) {
            store::fault("dictionary keys changed during iteration");
        }
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (PyDict_Next(dict, &position, &key, &value) == 0) {
            break;
        }
        --remaining;
        Ref hold_key = Ref::borrow(key);
        Ref hold_value = Ref::borrow(value);
        CORVANE_TRY(pending.add(key, value));
    }
    pending.flush();
    return std::move(builder).finish();
}

}  // namespace corvane::frame
