// PyPy makes a C-level copy of every object it hands to C code, and frees it
// only when its collector runs: a dict walk pays for two copies an entry,
// several times what the store does with the entry. Here the dict's contents
// cross in three objects instead: one bytes of all keys' UTF-8, separated by
// NUL, and one array of doubles (plus, when a key holds a NUL itself, an array
// of the keys' byte lengths). A helper written in Python makes them, and
// PyPy's JIT compiles its loops; the export goes the other way round.
#include "frame/bulk.hpp"

#include "frame/once.hpp"
#include "store/fault.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace corvane::frame {

namespace {

// gather() serves only what C reads without running Python code, so that the
// result cannot differ from the walk one entry at a time: keys of type str,
// values of type float, int or bool. The dict's contents come as two lists
// that C took back to back, one state of the dict. None sends the caller to
// the walk, which then meets whatever made this refuse (a key of another type,
// a lone surrogate, an int beyond float range) in the dict's own order, and
// raises exactly what it would have raised anyway.
//
// build() splits the keys' text at a separator that C chose from the ASCII
// characters no key holds.
constexpr const char helper_source[] = R"(
from array import array


def gather(keys, values):
    for key in keys:
        if type(key) is not str:
            return None
    for value in values:
        kind = type(value)
        if kind is not float and kind is not int and kind is not bool:
            return None
    try:
        numbers = array("d", values)
        text = "\0".join(keys).encode("utf-8")
    except (OverflowError, UnicodeEncodeError):
        return None
    if text.count(b"\0") == len(keys) - 1:
        return text, None, numbers
    lengths = array("q", bytes(8 * len(keys)))
    i = 0
    for key in keys:
        lengths[i] = len(key.encode("utf-8"))
        i += 1
    return text, lengths, numbers


def build(text, numbers, separator):
    keys = text.decode("utf-8").split(separator)
    values = array("d")
    values.frombytes(numbers)
    made = {}
    for i in range(len(keys)):
        made[keys[i]] = values[i]
    return made
)";

struct Helpers {
    PyObject* gather;
    PyObject* build;
};

OnceCell<Helpers> helpers_cell;

// The helpers live in a module object of their own: PyPy's JIT reads a
// module's globals much faster than those of a plain dict. The module is
// registered nowhere, so no import or attribute ever reaches it; the cell
// keeps its functions (and through them the module) for the life of the process.
Result<const Helpers*> helpers()
{
    return helpers_cell.get_or_fill([]() -> Result<Helpers*> {
        Ref module = Ref::steal(PyModule_New("corvane.bulk"));
        if (!module) {
            return fail(fetch());
        }
        PyObject* globals = PyModule_GetDict(module.get());
        if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) != 0) {
            return fail(fetch());
        }
        Ref ran = Ref::steal(PyRun_String(helper_source, Py_file_input, globals, globals));
        if (!ran) {
            return fail(fetch());
        }
        PyObject* gather = PyDict_GetItemString(globals, "gather");
        PyObject* build = PyDict_GetItemString(globals, "build");
        if (gather == nullptr || build == nullptr) {
            store::fault("the bulk helpers are missing");
        }
        Py_INCREF(gather);
        Py_INCREF(build);
        return new Helpers{gather, build};
    });
}

// Below this many entries the call into the helper costs more than the walk.
constexpr Py_ssize_t smallest_bulk = 2;

// A buffer held for reading, released on every path.
class ReadBuffer {
public:
    ReadBuffer() noexcept = default;
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;
    ~ReadBuffer()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    Status hold(PyObject* object)
    {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0) {
            return fail(fetch());
        }
        held_ = true;
        return {};
    }
    const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

template <class T>
T read_at(const char* data, std::size_t index) noexcept
{
    T value;
    std::memcpy(&value, data + index * sizeof(T), sizeof(T));
    return value;
}

// The keys in `text`, in order: separated by one NUL each, and when `lengths`
// is given, exactly that many bytes long (a key may hold NUL itself).
class KeySplitter {
public:
    KeySplitter(const ReadBuffer& text, const ReadBuffer* lengths) noexcept
        : cursor_(text.data()), end_(text.data() + text.size()), lengths_(lengths)
    {
    }

    std::string_view next(std::size_t index)
    {
        const char* stop = nullptr;
        if (lengths_ != nullptr) {
            const auto length = read_at<std::int64_t>(lengths_->data(), index);
            if (length < 0 || length > end_ - cursor_) {
                store::fault("bulk key lengths exceed their text");
            }
            stop = cursor_ + length;
        } else {
            // Keys are short: a plain scan beats a call per key.
            stop = cursor_;
            while (stop != end_ && *stop != '\0') {
                ++stop;
            }
        }
        std::string_view key(cursor_, static_cast<std::size_t>(stop - cursor_));
        cursor_ = stop == end_ ? end_ : stop + 1;
        return key;
    }

    bool consumed() const noexcept { return cursor_ == end_; }

private:
    const char* cursor_;
    const char* end_;
    const ReadBuffer* lengths_;
};

Result<store::Store> store_from_buffers(PyObject* gathered, std::size_t count)
{
    ReadBuffer text, lengths, numbers;
    PyObject* length_object = PyTuple_GetItem(gathered, 1);
    if (Status held = text.hold(PyTuple_GetItem(gathered, 0)); !held) {
        return fail(std::move(held.error()));
    }
    if (Status held = numbers.hold(PyTuple_GetItem(gathered, 2)); !held) {
        return fail(std::move(held.error()));
    }
    const bool has_lengths = length_object != Py_None;
    if (has_lengths) {
        if (Status held = lengths.hold(length_object); !held) {
            return fail(std::move(held.error()));
        }
    }
    if (numbers.size() != count * sizeof(double) || text.size() + 1 < count ||
        (has_lengths && lengths.size() != count * sizeof(std::int64_t))) {
        store::fault("bulk buffers do not match the dict's size");
    }
    store::StoreBuilder builder(count, text.size() + 1 - count);
    KeySplitter keys(text, has_lengths ? &lengths : nullptr);
    constexpr std::size_t batch = 64;
    std::array<store::StoreBuilder::Entry, batch> entries{};
    for (std::size_t first = 0; first < count; first += batch) {
        const std::size_t size = std::min(batch, count - first);
        for (std::size_t i = 0; i < size; ++i) {
            entries[i] = {keys.next(first + i), read_at<double>(numbers.data(), first + i)};
        }
        builder.put_all(entries.data(), size);
    }
    if (!keys.consumed()) {
        store::fault("bulk key text outlasts the dict's keys");
    }
    return std::move(builder).finish();
}

// An ASCII character that no key holds, NUL if possible; -1 when every one
// occurs. UTF-8 puts ASCII bytes only where they stand for themselves.
int absent_ascii(std::string_view text) noexcept
{
    if (std::memchr(text.data(), 0, text.size()) == nullptr) {
        return 0;
    }
    std::array<bool, 128> seen{};
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 128) {
            seen[byte] = true;
        }
    }
    for (std::size_t c = 1; c < seen.size(); ++c) {
        if (!seen[c]) {
            return static_cast<int>(c);
        }
    }
    return -1;
}

}  // namespace

std::optional<Result<store::Store>> store_from_plain_dict(PyObject* dict)
{
    if (!PyDict_CheckExact(dict)) {
        return std::nullopt;
    }
    const Py_ssize_t size = PyDict_Size(dict);
    if (size < smallest_bulk) {
        return std::nullopt;
    }
    Result<const Helpers*> found = helpers();
    if (!found) {
        return fail(std::move(found.error()));
    }
    // Taken back to back from C, where no Python code runs in between: the
    // keys and values of one state of the dict, in one order.
    Ref keys = must(PyDict_Keys(dict));
    Ref values = must(PyDict_Values(dict));
    Ref gathered = Ref::steal(PyObject_CallFunctionObjArgs((*found)->gather, keys.get(), values.get(), nullptr));
    if (!gathered) {
        return fail(fetch());
    }
    if (gathered.get() == Py_None) {
        return std::nullopt;
    }
    if (!PyTuple_Check(gathered.get()) || PyTuple_Size(gathered.get()) != 3) {
        store::fault("the bulk gather returned an unexpected object");
    }
    return store_from_buffers(gathered.get(), static_cast<std::size_t>(size));
}

std::optional<Result<PyObject*>> plain_dict_from_store(const store::Store& store)
{
    const std::size_t count = store.size();
    if (count < static_cast<std::size_t>(smallest_bulk)) {
        return std::nullopt;
    }
    const std::string_view all_keys = store.keys->all_key_bytes();
    const int separator = absent_ascii(all_keys);
    if (separator < 0) {
        return std::nullopt;
    }
    Result<const Helpers*> found = helpers();
    if (!found) {
        return fail(std::move(found.error()));
    }
    Ref text = must(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(all_keys.size() + count - 1)));
    char* out = PyBytes_AsString(text.get());
    if (out == nullptr) {
        return fail(fetch());
    }
    for (std::size_t position = 0; position < count; ++position) {
        const std::string_view key = store.keys->key(position);
        if (position != 0) {
            *out++ = static_cast<char>(separator);
        }
        std::memcpy(out, key.data(), key.size());
        out += key.size();
    }
    Ref numbers = must(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(store.values->data()),
                                                 static_cast<Py_ssize_t>(count * sizeof(double))));
    const char separator_char = static_cast<char>(separator);
    Ref separator_text = must(PyUnicode_FromStringAndSize(&separator_char, 1));
    Ref made = Ref::steal(
        PyObject_CallFunctionObjArgs((*found)->build, text.get(), numbers.get(), separator_text.get(), nullptr));
    if (!made) {
        return fail(fetch());
    }
    return made.release();
}

}  // namespace corvane::frame
