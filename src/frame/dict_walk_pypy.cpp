// PyPy's PyDict_Next is no walk of the dict's storage: it copies the keys
// when it starts and then looks every key up again, which runs the key's own
// __hash__ and __eq__ (and a subclass's __getitem__), and it ends the process
// when such a lookup fails, say for a key whose hash changed or that a value's
// conversion deleted. The walk here steps the host's own iterator of dict's
// own items() view instead. That iterator reads each entry as the storage
// holds it, position by position, as CPython's dict walk does: a value
// replaced before its entry is reached is read as it is then, a key deleted
// before it is reached is skipped, and a key added is met. No key is hashed
// or compared, for a dict subclass none of its methods is asked, and each
// step costs the same whatever the conversions did before it.
#include "frame/bulk.hpp"
#include "frame/dict_walk.hpp"
#include "frame/once.hpp"
#include "store/fault.hpp"

#include <memory>
#include <vector>

namespace corvane::frame {

namespace {

// dict's own methods, taken from the type itself: a built-in type refuses new
// attributes, so no Python code can stand in for them.
struct DictMethods {
    Ref items;   // dict.items
    Ref length;  // dict.__len__
};

OnceCell<DictMethods> methods_cell;

Result<DictMethods*> take_methods()
{
    auto made = std::make_unique<DictMethods>();
    made->items = must(PyObject_GetAttrString(as_object(&PyDict_Type), "items"));
    made->length = must(PyObject_GetAttrString(as_object(&PyDict_Type), "__len__"));
    return made.release();  // the cell keeps it for the life of the process
}

const DictMethods& methods()
{
    Result<DictMethods*> found = methods_cell.get_or_fill(take_methods);
    return **found;  // take_methods never returns a failure
}

// An iterator over dict's own items() view of `dict`.
Ref items_iterator(PyObject* dict)
{
    Ref view = must(PyObject_CallFunctionObjArgs(methods().items.get(), dict, nullptr));
    return must(PyObject_GetIter(view.get()));
}

// The next (key, value) pair; an empty Ref at the end. Stepped as the walk
// does, the host's iterator has nothing to raise; whatever it might is passed
// on as it is.
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

// The host's iterator reads the storage the dict has at each step, but as
// the storage layout it had when the iterator was made: a dict whose layout
// changed since (a str-keyed dict that got a key of another type, say) is
// misread, which ends the process, in Python code too. So once Python code
// may have run, an iterator is stepped only while the dict keeps its layout;
// without the host's own function to tell the layout, never.
class Walk {
public:
    explicit Walk(PyObject* dict)
        : dict_(dict), layout_function_(storage_layout_function()), iterator_(items_iterator(dict))
    {
    }

    // Called before the first conversion that may run Python code: until
    // then the dict has the layout it had when the iterator was made, and
    // a walk that runs none never asks for it.
    void before_python_code() { layout_ = layout(); }

    // The next entry, where CPython's walk would find it; empty at the end.
    Result<Ref> next(const std::vector<Ref>& met, bool ran_python_code)
    {
        if (ran_python_code && !same_layout()) {
            return resume_after(met);
        }
        Result<Ref> item = next_item(iterator_.get());
        if (item && !*item && ran_python_code) {
            return resume_after(met);
        }
        return item;
    }

private:
    void restart()
    {
        layout_ = layout();
        iterator_ = items_iterator(dict_);
    }

    // The name of the dict's storage layout; empty when it cannot be told.
    Ref layout() const
    {
        if (layout_function_ == nullptr) {
            return {};
        }
        Ref name = Ref::steal(PyObject_CallFunctionObjArgs(layout_function_, dict_, nullptr));
        if (!name || !PyUnicode_CheckExact(name.get())) {
            PyErr_Clear();
            return {};
        }
        return name;
    }

    bool same_layout() const
    {
        if (!layout_) {
            return false;
        }
        Ref now = layout();
        return now && same_key(now.get(), layout_.get());
    }

    // Where the walk goes on once the iterator has ended or may no longer be
    // stepped. The host's iterator yields at most as many entries as the
    // dict held when it was made, where CPython's walk goes on to the end of
    // the dict as it is. The entries the walk met that are still there come
    // first in the dict's order: every entry added since was put at the end,
    // past where the walk had got to. So a new iterator, moved past them,
    // stands where CPython's walk would, and the next entry it yields (if
    // any) is the one that walk would meet next. A key that was met, deleted
    // and added again last of all looks as if it had never moved: only the
    // host's positions could tell, and PyPy shows none.
    Result<Ref> resume_after(const std::vector<Ref>& met)
    {
        restart();
        Result<Ref> next = next_item(iterator_.get());
        for (const Ref& key : met) {
            if (!next || !*next) {
                break;
            }
            if (same_key(key.get(), PyTuple_GetItem(next->get(), 0))) {
                next = next_item(iterator_.get());
            }
        }
        return next;
    }

    PyObject* dict_;
    PyObject* layout_function_;
    Ref layout_;
    Ref iterator_;
};

}  // namespace

// The stack was checked by the entry that leads here (see boundary.hpp).
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
        Result<Ref> item = walk.next(met, ran_python_code);
        CORVANE_TRY(item);
        if (!*item) {
            break;
        }
        PyObject* key = PyTuple_GetItem(item->get(), 0);
        PyObject* value = PyTuple_GetItem(item->get(), 1);
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
