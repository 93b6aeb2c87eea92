// PyPy's PyDict_Next is no walk of the dict's storage: it copies the keys
// when it starts and then looks every key up again, which runs the key's own
// __hash__ and __eq__ (and a subclass's __getitem__), and it ends the process
// when such a lookup fails, say for a key whose hash changed or that a value's
// conversion deleted. The walk here steps the host's own iterators of dict's
// own views instead (see Walk). They read each entry as the storage holds it,
// position by position, as CPython's dict walk does: a value replaced before
// its entry is reached is read as it is then, a key deleted before it is
// reached is skipped, and a key added is met. No key is hashed or compared,
// for a dict subclass none of its methods is asked, and each step costs the
// same whatever the conversions did before it.
#include "frame/dict_walk.hpp"
#include "frame/once.hpp"
#include "frame/pypy/builtins.hpp"
#include "store/fault.hpp"

#include <memory>
#include <vector>

namespace corvane::frame {

namespace {

// dict's own methods, taken from the type itself: a built-in type refuses new
// attributes, so no Python code can stand in for them.
struct DictMethods {
    Ref keys;    // dict.keys
    Ref values;  // dict.values
    Ref length;  // dict.__len__
};

OnceCell<DictMethods> methods_cell;

Result<DictMethods*> take_methods()
{
    auto made = std::make_unique<DictMethods>();
    made->keys = must(PyObject_GetAttrString(as_object(&PyDict_Type), "keys"));
    made->values = must(PyObject_GetAttrString(as_object(&PyDict_Type), "values"));
    made->length = must(PyObject_GetAttrString(as_object(&PyDict_Type), "__len__"));
    return made.release();  // the cell keeps it for the life of the process
}

const DictMethods& methods()
{
    Result<DictMethods*> found = methods_cell.get_or_fill(take_methods);
    return **found;  // take_methods never returns a failure
}

// An iterator over one of dict's own views of `dict`.
Ref view_iterator(PyObject* view_of, PyObject* dict)
{
    Ref view = must(PyObject_CallFunctionObjArgs(view_of, dict, nullptr));
    return must(PyObject_GetIter(view.get()));
}

// The next item of `iterator`; an empty Ref at the end. Stepped as the walk
// does, the host's iterators have nothing to raise; whatever they might is
// passed on as it is.
Result<Ref> next_item(PyObject* iterator)
{
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred() != nullptr) {
        return fail(fetch());
    }
    return item;
}

// The same entry's key: PyPy hands out a new str object for each read of a
// key stored as text (a dict of exact str keys), the stored object itself for
// any other. Two exact str keys of one dict differ in text.
bool same_key(PyObject* a, PyObject* b)
{
    if (a == b) {
        return true;
    }
    if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) {
        return false;
    }
    Result<std::string_view> text_a = stored_text(a);
    Result<std::string_view> text_b = text_a ? stored_text(b) : Result<std::string_view>(std::string_view());
    return text_a && text_b && *text_a == *text_b;
}

}  // namespace

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
// storage that the walk steps through.
Py_ssize_t stored_size(PyObject* dict)
{
    if (!PyDict_CheckExact(dict)) {
        Ref size = must(PyObject_CallFunctionObjArgs(methods().length.get(), dict, nullptr));
        return PyLong_AsSsize_t(size.get());
    }
    return PyDict_Size(dict);
}

namespace {

struct Entry {
    Ref key, value;
};

// The entries, stepped by two of the host's iterators in lockstep: one over
// dict's own keys() view, one over its values() view, made together, so that
// both read the same position of the same storage at each step; the host's
// items() iterator does as one, at twice the cost. Each reads the storage as
// it is at that step, but in the storage layout it had when the iterator was
// made. Once the layout changed (a str-keyed dict that got a key of another
// type, or a dict made from keyword arguments that lost one, say), the keys
// and values iterators go on over a copy of the entries as they were then
// (and the items() iterator misreads the storage, which ends the process).
// So once Python code may have run, the iterators are stepped only while the
// dict keeps its layout; without the host's own function to tell it, never.
class Walk {
public:
    explicit Walk(PyObject* dict) : dict_(dict), layout_function_(storage_layout_function()) { make_iterators(); }

    // Called before the first conversion that may run Python code: until
    // then the dict keeps the layout it had when the iterators were made, and
    // a walk that runs none never asks for it.
    void before_python_code() { layout_ = layout(); }

    // The next entry, where CPython's walk would find it; empty at the end.
    Result<Entry> next(const std::vector<Ref>& met, bool ran_python_code)
    {
        if (ran_python_code && !same_layout()) {
            return resume_after(met);
        }
        Result<Entry> entry = step();
        if (entry && !entry->key && ran_python_code) {
            return resume_after(met);
        }
        return entry;
    }

private:
    void make_iterators()
    {
        // An exact dict's own iterator is that of its keys, one call less.
        keys_ = PyDict_CheckExact(dict_) ? must(PyObject_GetIter(dict_)) : view_iterator(methods().keys.get(), dict_);
        values_ = view_iterator(methods().values.get(), dict_);
    }

    // The name of the dict's storage layout; empty when it cannot be told.
    Ref layout()
    {
        if (layout_function_ == nullptr) {
            return {};
        }
        if (!argument_) {
            argument_ = must(PyTuple_Pack(1, dict_));
        }
        Ref name = Ref::steal(PyObject_Call(layout_function_, argument_.get(), nullptr));
        if (!name || !PyUnicode_CheckExact(name.get())) {
            PyErr_Clear();
            return {};
        }
        return name;
    }

    bool same_layout()
    {
        if (!layout_) {
            return false;
        }
        Ref now = layout();
        return now && PyUnicode_Compare(now.get(), layout_.get()) == 0;
    }

    Result<Entry> step()
    {
        Result<Ref> key = next_item(keys_.get());
        CORVANE_TRY(key);
        Result<Ref> value = next_item(values_.get());
        CORVANE_TRY(value);
        if (!*key != !*value) {
            store::fault("a dict's keys and values differ in number");
        }
        return Entry{std::move(*key), std::move(*value)};
    }

    // Where the walk goes on once the iterators have ended. They yield at
    // most as many entries as the dict held when they were made, where
    // CPython's walk goes on to the end of the dict as it is. The entries the
    // walk met that are still there come first in the dict's order: every
    // entry added since was put at the end, past where the walk had got to.
    // So new iterators, moved past them, stand where CPython's walk would,
    // and the next entry they yield (if any) is the one that walk would meet
    // next. A key that was met, deleted and added again last of all looks as
    // if it had never moved: only the host's positions could tell, and PyPy
    // shows none.
    Result<Entry> resume_after(const std::vector<Ref>& met)
    {
        layout_ = layout();
        make_iterators();
        Result<Entry> next = step();
        for (const Ref& key : met) {
            if (!next || !next->key) {
                break;
            }
            if (same_key(key.get(), next->key.get())) {
                next = step();
            }
        }
        return next;
    }

    PyObject* dict_;
    PyObject* layout_function_;
    Ref argument_;  // (dict_,), made once
    Ref layout_;  // the layout the iterators read, once Python code may run
    Ref keys_;
    Ref values_;
};

}  // namespace

// The stack was checked by the entry that leads here (see guard_entry in stack_checks.cpp).
Result<store::Store> walk_entries(PyObject* dict)
{
    const Py_ssize_t size_at_start = stored_size(dict);
    store::StoreBuilder builder(static_cast<std::size_t>(size_at_start));
    PendingEntries pending(builder);
    Walk walk(dict);
    std::vector<Ref> met;  // the keys met so far, in the walk's order
    met.reserve(static_cast<std::size_t>(size_at_start));
    bool ran_python_code = false;
    for (;;) {
        // Only a conversion that runs Python code can change the dict (that
        // code, or another thread meanwhile). The host's iterator would raise
        // its own error for a new size; the walk's is a fault.
        if (ran_python_code) {
            check_size(dict, size_at_start);
        }
        if (static_cast<Py_ssize_t>(met.size()) > size_at_start) {
            store::fault("dictionary keys changed during iteration");
        }
        Result<Entry> entry = walk.next(met, ran_python_code);
        CORVANE_TRY(entry);
        if (!entry->key) {
            break;
        }
        PyObject* key = entry->key.get();
        PyObject* value = entry->value.get();
        met.push_back(Ref::borrow(key));
        // Exact floats, ints and bools convert without running Python code.
        if (!ran_python_code && !(PyFloat_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value))) {
            walk.before_python_code();
            ran_python_code = true;
        }
        CORVANE_TRY(pending.add(key, value));
    }
    pending.flush();
    return std::move(builder).finish();
}

}  // namespace corvane::frame
