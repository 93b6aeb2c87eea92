// PyPy's dict iteration ends the process when the dict changes under it, and
// for a dict subclass it consults the subclass's own methods, which may run any
// code: the walk gathers the entries first, while no Python code runs, and
// converts them afterwards, reading each value again when it is reached once a
// conversion may have changed the dict.
#include "frame/dict_walk.hpp"
#include "store/fault.hpp"

#include <vector>

namespace corvane::frame {

Result<std::string_view> key_text(PyObject* key, Ref& holder)
{
    // PyPy reports the length of a str subclass's UTF-8 text through the
    // subclass's own __len__, which would have us read past the buffer (or
    // drop the key's tail); the encoded copy carries its true length.
    if (!PyUnicode_CheckExact(key)) {
        holder = Ref::steal(PyUnicode_AsUTF8String(key));
        if (!holder) {
            return fail(fetch());
        }
        return std::string_view(PyBytes_AsString(holder.get()), static_cast<std::size_t>(PyBytes_Size(holder.get())));
    }
    return stored_text(key);
}

// PyPy answers PyDict_Size for a dict subclass by calling the subclass's
// __len__, which may lie, raise or run any code; dict's own __len__ reads the
// storage that PyDict_Next walks.
Py_ssize_t stored_size(PyObject* dict)
{
    if (!PyDict_CheckExact(dict)) {
        Ref own_len = must(PyObject_GetAttrString(as_object(&PyDict_Type), "__len__"));
        Ref size = must(PyObject_CallFunctionObjArgs(own_len.get(), dict, nullptr));
        return PyLong_AsSsize_t(size.get());
    }
    return PyDict_Size(dict);
}

namespace {

bool same_text(PyObject* a, PyObject* b)
{
    if (a == b) {
        return true;
    }
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b)) {
        return false;
    }
    Ref hold_a, hold_b;
    Result<std::string_view> text_a = key_text(a, hold_a);
    Result<std::string_view> text_b = text_a ? key_text(b, hold_b) : Result<std::string_view>(std::string_view());
    if (!text_a || !text_b) {
        return false;  // a key that has no text was refused on the first walk already
    }
    return *text_a == *text_b;
}

struct Entry {
    Ref key, value;
};

// The dict's entries, gathered while no Python code runs. PyDict_Next serves
// an exact dict; for a subclass PyPy's PyDict_Next fetches each value through
// the subclass's __getitem__, which may run any code, even delete a key the
// walk has yet to reach, and such a walk ends the process. dict's own items()
// view reads the storage without consulting the subclass.
Result<std::vector<Entry>> gather_entries(PyObject* dict, Py_ssize_t expected)
{
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(expected));
    if (PyDict_CheckExact(dict)) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value) != 0) {
            entries.push_back({Ref::borrow(key), Ref::borrow(value)});
        }
        return entries;
    }
    Ref items_of = must(PyObject_GetAttrString(as_object(&PyDict_Type), "items"));
    Ref view = must(PyObject_CallFunctionObjArgs(items_of.get(), dict, nullptr));
    Ref iterator = must(PyObject_GetIter(view.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        entries.push_back({Ref::borrow(PyTuple_GetItem(item.get(), 0)), Ref::borrow(PyTuple_GetItem(item.get(), 1))});
    }
    if (PyErr_Occurred() != nullptr) {
        return fail(fetch());
    }
    return entries;
}

// The value `key` holds now, as PyPy's own walk reads it at each step: by the
// key, from the dict's storage (for a subclass too, whose __getitem__ is never
// asked). A key that is gone is one a walk of the dict would have met deleted,
// which ends the process on PyPy: it is a fault here.
Result<Ref> current_value(PyObject* dict, PyObject* key)
{
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) {
        if (PyErr_Occurred() != nullptr) {
            return fail(fetch());
        }
        store::fault("dictionary keys changed during iteration");
    }
    return Ref::borrow(value);
}

}  // namespace

// PyPy's dict iteration aborts the whole process when a key it has yet to visit
// was deleted since the walk began, so nothing may run Python code between two
// of its steps. The entries are therefore gathered first, then converted; a
// change made by a conversion shows up as a new size, as a key that is gone
// when its value is read again, or, with the size kept, as a different
// sequence of keys when the dict is gathered once more at the end. Values are
// read again only after a conversion that could run Python code: until then
// the gathered ones are what the dict holds, and reading them costs nothing.
// The stack was checked by the entry that leads here (see boundary.hpp).
Result<store::Store> walk_entries(PyObject* dict)
{
    const Py_ssize_t size_at_start = stored_size(dict);
    Result<std::vector<Entry>> entries = gather_entries(dict, size_at_start);
    CORVANE_TRY(entries);
    store::StoreBuilder builder(entries->size());
    PendingEntries pending(builder);
    bool ran_python_code = false;
    for (Entry& entry : *entries) {
        if (ran_python_code) {
            // An earlier conversion may have resized the dict or replaced this
            // value; the host's walk would show the new one, and so does this.
            // Until then nothing can have changed it (for a subclass, asking
            // its size is a call of dict.__len__, far dearer than the entry).
            check_size(dict, size_at_start);
            Result<Ref> value = current_value(dict, entry.key.get());
            CORVANE_TRY(value);
            entry.value = std::move(*value);
        }
        // Exact floats, ints and bools convert without running Python code.
        PyObject* number = entry.value.get();
        ran_python_code = ran_python_code ||
                          !(PyFloat_CheckExact(number) || PyLong_CheckExact(number) || PyBool_Check(number));
        CORVANE_TRY(pending.add(entry.key.get(), number));
    }
    pending.flush();
    if (ran_python_code) {
        check_size(dict, size_at_start);
        Result<std::vector<Entry>> again = gather_entries(dict, size_at_start);
        CORVANE_TRY(again);
        for (std::size_t i = 0; i < entries->size(); ++i) {
            // PyPy may hand out a new object for the same key: compare the text.
            if (i >= again->size() || !same_text((*again)[i].key.get(), (*entries)[i].key.get())) {
                store::fault("dictionary keys changed during iteration");
            }
        }
    }
    return std::move(builder).finish();
}

}  // namespace corvane::frame
