// A plain dict's entries cross into a store in bulk: the keys as one str of
// all of them joined by NUL, the values as one array of doubles (see
// bulk_crossing.hpp). Each step below is one function, in the order they run.
#include "frame/host_policy.hpp"
#include "frame/pypy/builtins.hpp"
#include "frame/pypy/bulk_crossing.hpp"
#include "store/fault.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace corvane::frame {

namespace {

// The storage layout the host chose for a dict or list, by name; empty when
// it cannot tell.
std::string_view storage_of(const Builtins& host, PyObject* object, Ref& holder)
{
    if (!host.strategy) {
        return {};
    }
    holder = call_leaving_pending(host.strategy.get(), object);
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

// The dict's keys and values, as two lists that pair up by index: nothing
// runs between the two reads, so both are of one state of the dict.
struct Entries {
    Ref keys;
    Ref values;
};

Result<Entries> read_entries(PyObject* dict, Py_ssize_t size)
{
    Ref keys = Ref::steal(PyDict_Keys(dict));
    Ref values = keys ? Ref::steal(PyDict_Values(dict)) : Ref();
    if (!values) {
        return fail(raised_by_host());
    }
    if (PyList_Size(keys.get()) != size || PyList_Size(values.get()) != size) {
        store::fault("a dict's keys and values differ in number");
    }
    return Entries{std::move(keys), std::move(values)};
}

// True when C can read every entry without running Python code: the keys are
// exact str, the values exact float, int or bool.
Result<bool> of_plain_types(const Builtins& host, PyObject* dict, const Entries& entries, Py_ssize_t size)
{
    Result<bool> exact_keys = keys_are_exact_str(host, dict, entries.keys.get(), size);
    CORVANE_TRY(exact_keys);
    if (!*exact_keys) {
        return false;
    }
    return values_are_numbers(host, entries.values.get(), size);
}

// The values as an array of doubles; empty when one is an int beyond float
// range (the walk raises for it).
Result<Ref> pack_numbers(const Builtins& host, PyObject* values)
{
    Ref numbers = call_leaving_pending(host.array.get(), host.double_code.get(), values);
    if (!numbers) {
        if (std::optional<Failure> failure = unless_refused(PyExc_OverflowError)) {
            return fail(std::move(*failure));
        }
    }
    return numbers;
}

// All keys joined by NUL.
Result<Ref> join_keys(const Builtins& host, PyObject* keys)
{
    Ref joined = Ref::steal(PyUnicode_Join(host.separator.get(), keys));
    if (!joined) {
        return fail(raised_by_host());
    }
    return joined;
}

// The UTF-8 form of `joined`, which the host keeps with it (one copy, where
// encoding to bytes and taking their buffer made two, a bytes object and
// its C-level copy); null when a key holds a lone surrogate, which UTF-8
// cannot encode (the walk raises for it).
Result<std::optional<std::string_view>> utf8_of(PyObject* joined)
{
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(joined, &length);
    if (text == nullptr) {
        if (std::optional<Failure> failure = unless_refused(PyExc_UnicodeEncodeError)) {
            return fail(std::move(*failure));
        }
        return std::nullopt;
    }
    return std::string_view(text, static_cast<std::size_t>(length));
}

// Each key's UTF-8 byte length, as an array held in `buffer`: needed only
// when a key holds NUL, the separator, itself.
Status measure_keys(const Builtins& host, PyObject* keys, std::size_t count, HeldBuffer& buffer, Ref& lengths)
{
    Result<Ref> encoded = call(host.map.get(), host.encode.get(), keys);
    CORVANE_TRY(encoded);
    Result<Ref> measured = call(host.map.get(), host.bytes_length.get(), encoded->get());
    CORVANE_TRY(measured);
    Result<Ref> made = call(host.array.get(), host.length_code.get(), measured->get());
    CORVANE_TRY(made);
    lengths = std::move(*made);
    return buffer.take(lengths.get(), count * sizeof(std::int64_t));
}

// The store, read out of the key text and the buffer of the numbers (and of
// the key lengths, when a key holds NUL) while they are held.
Result<store::Store> build_store(const Builtins& host, PyObject* keys, std::string_view text, PyObject* numbers,
                                 std::size_t count)
{
    HeldBuffer number_buffer;
    CORVANE_TRY(number_buffer.take(numbers, count * sizeof(double)));
    Flat flat{.text = text, .numbers = number_buffer.as<double>(), .lengths = {}};
    const auto separators = static_cast<std::size_t>(std::count(flat.text.begin(), flat.text.end(), '\0'));
    HeldBuffer length_buffer;
    Ref lengths;
    if (separators != count - 1) {
        CORVANE_TRY(measure_keys(host, keys, count, length_buffer, lengths));
        flat.lengths = length_buffer.as<std::int64_t>();
    }
    return store_from_flat(flat);
}

}  // namespace

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
    Result<Entries> entries = read_entries(dict, size);
    CORVANE_TRY(entries);
    Result<bool> plain = of_plain_types(*host, dict, *entries, size);
    CORVANE_TRY(plain);
    if (!*plain) {
        return std::nullopt;
    }
    Result<Ref> numbers = pack_numbers(*host, entries->values.get());
    CORVANE_TRY(numbers);
    if (!*numbers) {
        return std::nullopt;
    }
    Result<Ref> joined = join_keys(*host, entries->keys.get());
    CORVANE_TRY(joined);
    Result<std::optional<std::string_view>> encoded = utf8_of(joined->get());
    CORVANE_TRY(encoded);
    const std::optional<std::string_view> text = *encoded;
    if (!text) {
        return std::nullopt;
    }
    Result<store::Store> made = build_store(*host, entries->keys.get(), *text, numbers->get(),
                                            static_cast<std::size_t>(size));
    empty_array(numbers->get());
    if (made) {
        count_bulk_crossing();
    }
    return made;
}

}  // namespace corvane::frame
