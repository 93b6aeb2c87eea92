// PyPy makes a C-level copy of every object it hands to C code, and frees it
// only when its collector runs: a dict walk pays for two copies an entry,
// several times what the store does with the entry. Here the entries cross
// as flat memory instead: all keys' UTF-8, separated by NUL, and the values as
// doubles (plus, when a key holds a NUL itself, the keys' byte lengths). A
// helper written in Python makes them, and PyPy's JIT compiles its loops; the
// export goes the other way round.
#include "frame/bulk.hpp"

#include "frame/once.hpp"
#include "frame/recursion_guard.hpp"
#include "store/fault.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace corvane::frame {

namespace {

// gather() serves only what C reads without running Python code, so that the
// result cannot differ from the walk one entry at a time: keys of type str,
// values of type float, int or bool. It reads a copy of the dict, one state of
// it that no one else can change. None sends the caller to the walk, which
// then meets whatever made this refuse (a key of another type, a lone
// surrogate, an int beyond float range) in the dict's own order, and raises
// exactly what it would have raised anyway.
//
// What crosses to C lingers there until the collector has run twice, so the
// large buffers never cross: C hands fill() memory of its own to copy them into.
//
// build() splits the keys' text at a separator that C chose from the ASCII
// characters no key holds.
constexpr const char helper_source[] = R"(
from array import array


class Gathered:
    __slots__ = ("text", "numbers", "lengths")


def gather(source):
    snapshot = source.copy()
    keys = list(snapshot)
    values = list(snapshot.values())
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
    made = Gathered()
    made.text, made.numbers, made.lengths = text, numbers, None
    if text.count(b"\0") != len(keys) - 1:
        lengths = array("q", bytes(8 * len(keys)))
        i = 0
        for key in keys:
            lengths[i] = len(key.encode("utf-8"))
            i += 1
        made.lengths = lengths
    return made, len(keys), len(text), made.lengths is not None


def fill(made, text, numbers, lengths):
    text[:] = made.text
    numbers[:] = memoryview(made.numbers).cast("B")
    if lengths is not None:
        lengths[:] = memoryview(made.lengths).cast("B")
        lengths.release()
    text.release()
    numbers.release()
    made.text = made.numbers = made.lengths = None


def build(text, numbers, separator):
    keys = str(text, "utf-8").split(separator)
    values = array("d")
    values.frombytes(numbers)
    text.release()
    numbers.release()
    made = {}
    for i in range(len(keys)):
        made[keys[i]] = values[i]
    return made
)";

struct Helpers {
    PyObject* gather;
    PyObject* fill;
    PyObject* build;
};

OnceCell<Helpers> helpers_cell;

// What a helper raised goes back as it is: fetching it can fail inside the
// host near the stack limit (see take_leaving_pending()).
Failure raised_by_helper()
{
    if (std::optional<Failure> failure = take_leaving_pending()) {
        return std::move(*failure);
    }
    return fetch();
}

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
        PyObject* fill = PyDict_GetItemString(globals, "fill");
        PyObject* build = PyDict_GetItemString(globals, "build");
        if (gather == nullptr || fill == nullptr || build == nullptr) {
            store::fault("the bulk helpers are missing");
        }
        Py_INCREF(gather);
        Py_INCREF(fill);
        Py_INCREF(build);
        return new Helpers{gather, fill, build};
    });
}

// Below this many entries the call into the helper costs more than the walk.
constexpr Py_ssize_t smallest_bulk = 2;

// The gathered entries, copied into memory that C owns.
struct Buffers {
    std::vector<char> text;
    std::vector<double> numbers;
    std::vector<std::int64_t> lengths;
};

// A view of C memory for Python code; the helper releases it before returning.
Ref view_of(void* data, std::size_t bytes, bool writable)
{
    Py_buffer buffer{};
    if (PyBuffer_FillInfo(&buffer, nullptr, data, static_cast<Py_ssize_t>(bytes), writable ? 0 : 1,
                          writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) != 0) {
        store::fault("could not describe a bulk buffer");
    }
    return must(PyMemoryView_FromBuffer(&buffer));
}

std::size_t size_at(PyObject* tuple, Py_ssize_t index)
{
    const Py_ssize_t size = PyLong_AsSsize_t(PyTuple_GetItem(tuple, index));
    if (size < 0) {
        store::fault("the bulk gather returned a bad size");
    }
    return static_cast<std::size_t>(size);
}

Status copy_out(const Helpers& helpers, PyObject* gathered, Buffers& out)
{
    if (!PyTuple_Check(gathered) || PyTuple_Size(gathered) != 4) {
        store::fault("the bulk gather returned an unexpected object");
    }
    const std::size_t count = size_at(gathered, 1);
    out.text.resize(size_at(gathered, 2));
    out.numbers.resize(count);
    out.lengths.resize(PyObject_IsTrue(PyTuple_GetItem(gathered, 3)) == 1 ? count : 0);
    Ref text = view_of(out.text.data(), out.text.size(), true);
    Ref numbers = view_of(out.numbers.data(), count * sizeof(double), true);
    Ref lengths = out.lengths.empty() ? Ref::borrow(Py_None)
                                      : view_of(out.lengths.data(), count * sizeof(std::int64_t), true);
    Ref filled = Ref::steal(PyObject_CallFunctionObjArgs(helpers.fill, PyTuple_GetItem(gathered, 0), text.get(),
                                                         numbers.get(), lengths.get(), nullptr));
    if (!filled) {
        return fail(raised_by_helper());
    }
    return {};
}

// The keys in `text`, in order: separated by one NUL each, and when lengths
// are given, exactly that many bytes long (a key may hold NUL itself).
class KeySplitter {
public:
    explicit KeySplitter(const Buffers& buffers) noexcept
        : cursor_(buffers.text.data()),
          end_(buffers.text.data() + buffers.text.size()),
          lengths_(buffers.lengths.empty() ? nullptr : buffers.lengths.data())
    {
    }

    std::string_view next(std::size_t index)
    {
        const char* stop = cursor_;
        if (lengths_ != nullptr) {
            if (lengths_[index] < 0 || lengths_[index] > end_ - cursor_) {
                store::fault("bulk key lengths exceed their text");
            }
            stop += lengths_[index];
        } else {
            // Keys are short: a plain scan beats a call per key.
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
    const std::int64_t* lengths_;
};

store::Store store_from_buffers(const Buffers& buffers)
{
    const std::size_t count = buffers.numbers.size();
    if (buffers.text.size() + 1 < count) {
        store::fault("bulk key text is shorter than its separators");
    }
    store::StoreBuilder builder(count, buffers.text.size() + 1 - count);
    KeySplitter keys(buffers);
    constexpr std::size_t batch = 64;
    std::array<store::StoreBuilder::Entry, batch> entries{};
    for (std::size_t first = 0; first < count; first += batch) {
        const std::size_t size = std::min(batch, count - first);
        for (std::size_t i = 0; i < size; ++i) {
            entries[i] = {keys.next(first + i), buffers.numbers[first + i]};
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

namespace {

// The helpers, with the stack guarded for as long as they run: near the
// stack limit the host cannot report what Python code raised.
struct Crossing {
    RecursionGuard guard;
    const Helpers* helpers;
};

Result<Crossing> enter_crossing()
{
    Result<RecursionGuard> guard = RecursionGuard::enter(" while calling a Python object");
    CORVANE_TRY(guard);
    Result<const Helpers*> found = helpers();
    CORVANE_TRY(found);
    return Crossing{std::move(*guard), *found};
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
    Result<Crossing> found = enter_crossing();
    CORVANE_TRY(found);
    Ref gathered = Ref::steal(PyObject_CallFunctionObjArgs(found->helpers->gather, dict, nullptr));
    if (!gathered) {
        return fail(raised_by_helper());
    }
    if (gathered.get() == Py_None) {
        return std::nullopt;
    }
    Buffers buffers;
    CORVANE_TRY(copy_out(*found->helpers, gathered.get(), buffers));
    gathered = Ref();
    return store_from_buffers(buffers);
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
    Result<Crossing> found = enter_crossing();
    CORVANE_TRY(found);
    std::vector<char> text(all_keys.size() + count - 1);
    char* out = text.data();
    for (std::size_t position = 0; position < count; ++position) {
        const std::string_view key = store.keys->key(position);
        if (position != 0) {
            *out++ = static_cast<char>(separator);
        }
        std::memcpy(out, key.data(), key.size());
        out += key.size();
    }
    // Views of memory the call holds: nothing of the store's size is left
    // for the collector. The receiver is borrowed, so its values stay put.
    Ref text_view = view_of(text.data(), text.size(), false);
    Ref numbers = view_of(const_cast<double*>(store.values->data()), count * sizeof(double), false);
    const char separator_char = static_cast<char>(separator);
    Ref separator_text = must(PyUnicode_FromStringAndSize(&separator_char, 1));
    Ref made = Ref::steal(PyObject_CallFunctionObjArgs(found->helpers->build, text_view.get(), numbers.get(),
                                                       separator_text.get(), nullptr));
    if (!made) {
        return fail(raised_by_helper());
    }
    return made.release();
}

}  // namespace corvane::frame
