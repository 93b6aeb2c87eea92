// PyPy makes a C-level copy of every object it hands to C code, and frees it
// only when its collector runs: a dict walk pays for two copies an entry,
// several times what the store does with the entry. Here the entries cross as
// a few objects instead: one str of all keys joined by NUL (plus, when a key
// holds a NUL itself, an array of the keys' byte lengths) and one array of the
// values as doubles. The export goes the other way round.
//
// Only the host's built-in functions and types make and take apart those
// objects, called from C. They run no Python bytecode, so no tracer, profiler,
// signal handler or other thread gets a turn in the middle, and the result
// depends on nothing Python code can rebind: each is taken from the real object
// once, when the module is initialised, and checked to be what it claims.
// C reads and writes what crosses only through objects the host owns, while it
// holds their buffers; no memory of the module's is ever lent to Python. The
// stack is checked once, by the entry that leads here (see boundary.hpp).
#include "frame/host_policy.hpp"

#include "frame/once.hpp"
#include "store/fault.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace corvane::frame {

namespace {

// What the crossing calls. `strategy` may be empty: it only lets common dicts
// skip a check that the others pass the long way.
struct Builtins {
    Ref map;            // the type map
    Ref array;          // the type array.array
    Ref same_object;    // object.__eq__: True for the very object, NotImplemented otherwise
    Ref encode;         // str.encode
    Ref bytes_length;   // bytes.__len__
    Ref list_count;     // list.count
    Ref strategy;       // __pypy__.strategy, the storage layout of a dict or list
    Ref double_code;    // "d"
    Ref length_code;    // "q"
    Ref separator;      // "\0"
    bool usable = false;
};

OnceCell<Builtins> builtins_cell;

// Types that Python code makes are heap types. PyPy's C API marks every type
// as one, but its own __flags__ tells the truth, and for a type whose type is
// exactly `type` that attribute is type's own descriptor, which no class can
// override.
bool is_host_type(PyObject* candidate)
{
    if (Py_TYPE(candidate) != &PyType_Type) {
        return false;
    }
    Ref flags = Ref::steal(PyObject_GetAttrString(candidate, "__flags__"));
    const unsigned long value = flags ? PyLong_AsUnsignedLong(flags.get()) : 0;
    if (!flags || PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return false;
    }
    return (value & Py_TPFLAGS_HEAPTYPE) == 0;
}

bool has_name(PyObject* object, const char* name)
{
    Ref found = Ref::steal(PyObject_GetAttrString(object, "__name__"));
    const bool same = found && PyUnicode_Check(found.get()) && PyUnicode_CompareWithASCIIString(found.get(), name) == 0;
    PyErr_Clear();
    return same;
}

// The host's own type `name` from `module`, or nothing.
Ref builtin_type(PyObject* module, const char* name)
{
    Ref found = Ref::steal(PyObject_GetAttrString(module, name));
    if (!found) {
        PyErr_Clear();
        return {};
    }
    if (!is_host_type(found.get()) || !has_name(found.get(), name)) {
        return {};
    }
    return found;
}

// An attribute of a built-in type: those types refuse new attributes, so it
// is the host's own.
Ref attribute_of(PyTypeObject* type, const char* name)
{
    Ref found = Ref::steal(PyObject_GetAttrString(as_object(type), name));
    if (!found) {
        PyErr_Clear();
    }
    return found;
}

// __pypy__.strategy, when the module that the import finds holds the host's
// own. Python code can put any module in sys.modules before this one is
// imported, or rebind the attribute; a function of its own would then run in
// the middle of the crossing. So it must be a built-in function, an instance
// of the host's own type of them, which Python code cannot make: the only one
// named "strategy" in module "__pypy__" (both read-only) is the host's.
Ref strategy_function()
{
    Ref module = Ref::steal(PyImport_ImportModule("__pypy__"));
    Ref found = module ? Ref::steal(PyObject_GetAttrString(module.get(), "strategy")) : Ref();
    if (!found) {
        PyErr_Clear();
        return {};
    }
    PyObject* kind = as_object(Py_TYPE(found.get()));
    if (!is_host_type(kind) || !has_name(kind, "builtin_function") || !has_name(found.get(), "strategy")) {
        return {};
    }
    Ref module_name = Ref::steal(PyObject_GetAttrString(found.get(), "__module__"));
    const bool in_pypy_module = module_name && PyUnicode_CheckExact(module_name.get()) &&
                                PyUnicode_CompareWithASCIIString(module_name.get(), "__pypy__") == 0;
    PyErr_Clear();
    return in_pypy_module ? std::move(found) : Ref();
}

Result<Builtins*> take_builtins()
{
    auto made = std::make_unique<Builtins>();
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    Ref array_module = Ref::steal(PyImport_ImportModule("array"));
    if (!builtins || !array_module) {
        PyErr_Clear();
        return made.release();  // not usable: every dict is walked
    }
    made->map = builtin_type(builtins.get(), "map");
    made->array = builtin_type(array_module.get(), "array");
    made->same_object = attribute_of(&PyBaseObject_Type, "__eq__");
    made->encode = attribute_of(&PyUnicode_Type, "encode");
    made->bytes_length = attribute_of(&PyBytes_Type, "__len__");
    made->list_count = attribute_of(&PyList_Type, "count");
    made->strategy = strategy_function();
    made->double_code = must(PyUnicode_FromString("d"));
    made->length_code = must(PyUnicode_FromString("q"));
    made->separator = must(PyUnicode_FromStringAndSize("\0", 1));
    made->usable = made->map && made->array && made->same_object && made->encode && made->bytes_length &&
                   made->list_count;
    return made.release();  // the cell keeps it for the life of the process
}

// The builtins, or null when this host lacks one of them.
const Builtins* usable_builtins() noexcept
{
    const Builtins* found = builtins_cell.get();
    return found != nullptr && found->usable ? found : nullptr;
}

// What a builtin raised goes back as it is: fetching it can fail inside the
// host near the stack limit (see take_leaving_pending()).
Failure raised_by_host()
{
    if (std::optional<Failure> failure = take_leaving_pending()) {
        return std::move(*failure);
    }
    return fetch();
}

Result<Ref> call(PyObject* callable, auto... arguments)
{
    Ref made = Ref::steal(PyObject_CallFunctionObjArgs(callable, arguments..., nullptr));
    if (!made) {
        return fail(raised_by_host());
    }
    return made;
}

// The storage layout the host chose for a dict or list, by name; empty when
// it cannot tell.
std::string_view storage_of(const Builtins& host, PyObject* object, Ref& holder)
{
    if (!host.strategy) {
        return {};
    }
    holder = Ref::steal(PyObject_CallFunctionObjArgs(host.strategy.get(), object, nullptr));
    Py_ssize_t length = 0;
    const char* text = holder && PyUnicode_Check(holder.get()) ? PyUnicode_AsUTF8AndSize(holder.get(), &length)
                                                               : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return {};
    }
    return {text, static_cast<std::size_t>(length)};
}

// How many items of `items` (a list of `count`) are exactly of `type`: each
// item's type is compared by identity with object.__eq__, which, unlike ==,
// never consults a metaclass.
Result<Py_ssize_t> count_of_type(const Builtins& host, PyObject* items, Py_ssize_t count, PyTypeObject* type)
{
    Ref one = must(PyList_New(1));
    Py_INCREF(as_object(type));
    PyList_SetItem(one.get(), 0, as_object(type));
    Ref column = must(PySequence_Repeat(one.get(), count));
    Result<Ref> types = call(host.map.get(), as_object(&PyType_Type), items);
    CORVANE_TRY(types);
    Result<Ref> same = call(host.map.get(), host.same_object.get(), types->get(), column.get());
    CORVANE_TRY(same);
    Ref listed = Ref::steal(PySequence_List(same->get()));
    if (!listed) {
        return fail(raised_by_host());
    }
    Result<Ref> found = call(host.list_count.get(), listed.get(), Py_True);
    CORVANE_TRY(found);
    return PyLong_AsSsize_t(found->get());
}

// True when every key is an exact str. A dict that the host stores as
// str-keyed holds nothing else; any other is checked key by key.
Result<bool> keys_are_exact_str(const Builtins& host, PyObject* dict, PyObject* keys, Py_ssize_t count)
{
    Ref holder;
    if (storage_of(host, dict, holder) == "UnicodeDictStrategy") {
        return true;
    }
    Result<Py_ssize_t> found = count_of_type(host, keys, count, &PyUnicode_Type);
    CORVANE_TRY(found);
    return *found == count;
}

// True when every value is an exact float, int or bool. Lists of exact floats,
// of exact ints or of both are stored as such by the host; any other is
// checked value by value.
Result<bool> values_are_numbers(const Builtins& host, PyObject* values, Py_ssize_t count)
{
    Ref holder;
    const std::string_view storage = storage_of(host, values, holder);
    if (storage == "FloatListStrategy" || storage == "IntegerListStrategy" || storage == "IntOrFloatListStrategy") {
        return true;
    }
    Py_ssize_t total = 0;
    for (PyTypeObject* type : {&PyFloat_Type, &PyLong_Type, &PyBool_Type}) {
        Result<Py_ssize_t> found = count_of_type(host, values, count, type);
        CORVANE_TRY(found);
        total += *found;
        if (total == count) {
            return true;
        }
    }
    return false;
}

// A buffer of an object the host owns, held while C reads or writes it.
class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    Status take(PyObject* object, std::size_t expected_bytes)
    {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0) {
            return fail(fetch());
        }
        held_ = true;
        if (view_.len < 0 || static_cast<std::size_t>(view_.len) != expected_bytes) {
            store::fault("a bulk buffer has an unexpected size");
        }
        return {};
    }

    template <class T>
    std::span<const T> as() const noexcept
    {
        return {static_cast<const T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The entries as C reads them: all keys' UTF-8 separated by one NUL each, the
// values, and, when a key holds NUL itself, each key's byte length.
struct Flat {
    std::string_view text;
    std::span<const double> numbers;
    std::span<const std::int64_t> lengths;
};

// The keys in `text`, in order: separated by one NUL each, and when lengths
// are given, exactly that many bytes long (a key may hold NUL itself).
class KeySplitter {
public:
    explicit KeySplitter(const Flat& flat) noexcept
        : cursor_(flat.text.data()),
          end_(flat.text.data() + flat.text.size()),
          lengths_(flat.lengths.empty() ? nullptr : flat.lengths.data())
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

store::Store store_from_flat(const Flat& flat)
{
    const std::size_t count = flat.numbers.size();
    if (flat.text.size() + 1 < count) {
        store::fault("bulk key text is shorter than its separators");
    }
    store::StoreBuilder builder(count, flat.text.size() + 1 - count);
    KeySplitter keys(flat);
    constexpr std::size_t batch = 64;
    std::array<store::StoreBuilder::Entry, batch> entries{};
    for (std::size_t first = 0; first < count; first += batch) {
        const std::size_t size = std::min(batch, count - first);
        for (std::size_t i = 0; i < size; ++i) {
            entries[i] = {keys.next(first + i), flat.numbers[first + i]};
        }
        builder.put_all(entries.data(), size);
    }
    if (!keys.consumed()) {
        store::fault("bulk key text outlasts the dict's keys");
    }
    return std::move(builder).finish();
}

// Nothing (with no exception pending) when the host raised `refusal`, which
// sends the dict to the walk; the failure for anything else.
std::optional<Failure> unless_refused(PyObject* refusal)
{
    if (PyErr_ExceptionMatches(refusal) != 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return raised_by_host();
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

// Below these sizes the crossing's few calls cost more than going entry by
// entry. Measured on PyPy 7.3.11, 7.3.19 and 8.0.1: construction breaks even
// at 4 to 8 entries, the export at 8 to 16; at 2 entries the crossing takes
// 1.6 to 3 times as long as the walk.
constexpr Py_ssize_t smallest_bulk_construction = 8;
constexpr std::size_t smallest_bulk_export = 12;

}  // namespace

PyObject* storage_layout_function() noexcept
{
    const Builtins* found = builtins_cell.get();
    return found != nullptr ? found->strategy.get() : nullptr;
}

Status prepare_bulk_crossing()
{
    Result<Builtins*> taken = builtins_cell.get_or_fill(take_builtins);
    CORVANE_TRY(taken);
    return {};
}

// The crossing serves only dicts that C reads without running Python code, so
// that the result cannot differ from the walk one entry at a time: keys of
// type str, values of type float, int or bool. Nothing sends the caller to
// the walk, which then meets whatever made this refuse (a key of another type,
// a lone surrogate, an int beyond float range) in the dict's own order, and
// raises exactly what it would have raised anyway.
std::optional<Result<store::Store>> store_from_plain_dict(PyObject* dict)
{
    if (!PyDict_CheckExact(dict)) {
        return std::nullopt;
    }
    const Py_ssize_t size = PyDict_Size(dict);
    const Builtins* host = usable_builtins();
    if (size < smallest_bulk_construction || host == nullptr) {
        return std::nullopt;
    }
    // Nothing runs between the two reads, so keys and values are of one state
    // of the dict, and pair up by index.
    Ref keys = Ref::steal(PyDict_Keys(dict));
    Ref values = keys ? Ref::steal(PyDict_Values(dict)) : Ref();
    if (!values) {
        return fail(raised_by_host());
    }
    if (PyList_Size(keys.get()) != size || PyList_Size(values.get()) != size) {
        store::fault("a dict's keys and values differ in number");
    }
    Result<bool> exact_keys = keys_are_exact_str(*host, dict, keys.get(), size);
    CORVANE_TRY(exact_keys);
    if (!*exact_keys) {
        return std::nullopt;
    }
    Result<bool> numbers_only = values_are_numbers(*host, values.get(), size);
    CORVANE_TRY(numbers_only);
    if (!*numbers_only) {
        return std::nullopt;
    }
    Ref numbers = Ref::steal(
        PyObject_CallFunctionObjArgs(host->array.get(), host->double_code.get(), values.get(), nullptr));
    if (!numbers) {
        if (std::optional<Failure> failure = unless_refused(PyExc_OverflowError)) {
            return fail(std::move(*failure));
        }
        return std::nullopt;  // an int beyond float range
    }
    Ref joined = Ref::steal(PyUnicode_Join(host->separator.get(), keys.get()));
    if (!joined) {
        return fail(raised_by_host());
    }
    Ref text = Ref::steal(PyUnicode_AsUTF8String(joined.get()));
    if (!text) {
        if (std::optional<Failure> failure = unless_refused(PyExc_UnicodeEncodeError)) {
            return fail(std::move(*failure));
        }
        return std::nullopt;  // a lone surrogate
    }
    joined = Ref();
    const auto count = static_cast<std::size_t>(size);
    HeldBuffer text_buffer;
    CORVANE_TRY(text_buffer.take(text.get(), static_cast<std::size_t>(PyBytes_Size(text.get()))));
    HeldBuffer number_buffer;
    CORVANE_TRY(number_buffer.take(numbers.get(), count * sizeof(double)));
    Flat flat{.text = {text_buffer.as<char>().data(), text_buffer.as<char>().size()},
              .numbers = number_buffer.as<double>(),
              .lengths = {}};
    const auto separators = static_cast<std::size_t>(std::count(flat.text.begin(), flat.text.end(), '\0'));
    HeldBuffer length_buffer;
    Ref lengths;
    if (separators != count - 1) {
        // A key holds NUL: its byte length tells where it ends.
        Result<Ref> encoded = call(host->map.get(), host->encode.get(), keys.get());
        CORVANE_TRY(encoded);
        Result<Ref> measured = call(host->map.get(), host->bytes_length.get(), encoded->get());
        CORVANE_TRY(measured);
        Result<Ref> made = call(host->array.get(), host->length_code.get(), measured->get());
        CORVANE_TRY(made);
        lengths = std::move(*made);
        CORVANE_TRY(length_buffer.take(lengths.get(), count * sizeof(std::int64_t)));
        flat.lengths = length_buffer.as<std::int64_t>();
    }
    return store_from_flat(flat);
}

std::optional<Result<PyObject*>> plain_dict_from_store(const store::Store& store)
{
    const std::size_t count = store.size();
    const Builtins* host = usable_builtins();
    if (count < smallest_bulk_export || host == nullptr) {
        return std::nullopt;
    }
    const std::string_view all_keys = store.keys->all_key_bytes();
    const int separator = absent_ascii(all_keys);
    if (separator < 0) {
        return std::nullopt;
    }
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
    // The host copies both out of the module's memory into objects of its own.
    Ref joined = must(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    text = std::vector<char>();
    const char separator_char = static_cast<char>(separator);
    Ref separator_text = must(PyUnicode_FromStringAndSize(&separator_char, 1));
    Ref keys = Ref::steal(PyUnicode_Split(joined.get(), separator_text.get(), -1));
    if (!keys) {
        return fail(raised_by_host());
    }
    joined = Ref();
    Ref packed = must(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(store.values->data()),
                                                static_cast<Py_ssize_t>(count * sizeof(double))));
    Result<Ref> numbers = call(host->array.get(), host->double_code.get(), packed.get());
    CORVANE_TRY(numbers);
    packed = Ref();
    // Each pair goes in by the new dict's own __setitem__, with no tuple made
    // for it; the search for an object that no store returns runs the stores.
    Ref made = must(PyDict_New());
    Ref store_item = must(PyObject_GetAttrString(made.get(), "__setitem__"));
    Result<Ref> stores = call(host->map.get(), store_item.get(), keys.get(), numbers->get());
    CORVANE_TRY(stores);
    if (PySequence_Contains(stores->get(), Py_Ellipsis) != 0) {
        return fail(raised_by_host());
    }
    return made.release();
}

}  // namespace corvane::frame
