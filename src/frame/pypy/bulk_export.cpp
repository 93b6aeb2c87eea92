// A store's entries cross out into a new dict in bulk: its keys as one str
// that the host splits, its values as one array of doubles, paired up by the
// new dict's own __setitem__ (see bulk_crossing.hpp). Each step below is one
// function, in the order they run.
#include "frame/host_policy.hpp"
#include "frame/pypy/builtins.hpp"
#include "frame/pypy/bulk_crossing.hpp"

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace corvane::frame {

namespace {

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

// The store's keys joined by `separator`, as UTF-8 in the module's memory.
std::vector<char> join_keys(const store::Store& store, char separator)
{
    const std::size_t count = store.size();
    std::vector<char> text(store.keys->all_key_bytes().size() + count - 1);
    char* out = text.data();
    for (std::size_t position = 0; position < count; ++position) {
        const std::string_view key = store.keys->key(position);
        if (position != 0) {
            *out++ = separator;
        }
        std::memcpy(out, key.data(), key.size());
        out += key.size();
    }
    return text;
}

// The keys as a list of str: the host copies the joined text out of the
// module's memory into a str of its own (the module's copy is freed at once)
// and splits it at `separator`.
Result<Ref> split_keys(std::vector<char> text, char separator)
{
    Ref joined = must(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    text = std::vector<char>();
    Ref separator_text = must(PyUnicode_FromStringAndSize(&separator, 1));
    Ref keys = Ref::steal(PyUnicode_Split(joined.get(), separator_text.get(), -1));
    if (!keys) {
        return fail(raised_by_host());
    }
    return keys;
}

// The values as an array of doubles: the host makes an array of the size
// needed, and C copies the store's values into its buffer. (Handing the host
// bytes to copy made two more copies, a bytes object in C and the host's own,
// that lived on until the collector freed them.)
Result<Ref> pack_values(const Builtins& host, const store::Store& store)
{
    const std::size_t count = store.size();
    Ref numbers = Ref::steal(PySequence_Repeat(host.one_double.get(), static_cast<Py_ssize_t>(count)));
    if (!numbers) {
        return fail(raised_by_host());
    }
    HeldBuffer buffer;
    CORVANE_TRY(buffer.take(numbers.get(), count * sizeof(double), PyBUF_WRITABLE));
    std::memcpy(buffer.writable(), store.values->data(), count * sizeof(double));
    return numbers;
}

// A new dict of `keys` paired with `numbers`. Each pair goes in by the new
// dict's own __setitem__, with no tuple made for it: map() pairs them lazily,
// and searching the map for Ellipsis drives it to its end, since every store
// returns None. The search finds nothing (0), or fails (-1) with what a store
// raised, such as MemoryError.
Result<PyObject*> insert_entries(const Builtins& host, PyObject* keys, PyObject* numbers)
{
    Ref made = must(PyDict_New());
    Ref store_item = must(PyObject_GetAttrString(made.get(), "__setitem__"));
    Result<Ref> stores = call(host.map.get(), store_item.get(), keys, numbers);
    CORVANE_TRY(stores);
    if (PySequence_Contains(stores->get(), Py_Ellipsis) != 0) {
        return fail(raised_by_host());
    }
    return made.release();
}

}  // namespace

std::optional<Result<PyObject*>> plain_dict_from_store(const store::Store& store)
{
    const std::size_t count = store.size();
    const Builtins* host = usable_builtins();
    if (count < smallest_bulk_export || host == nullptr) {
        return std::nullopt;
    }
    const int separator = absent_ascii(store.keys->all_key_bytes());
    if (separator < 0) {
        return std::nullopt;
    }
    Result<Ref> keys = split_keys(join_keys(store, static_cast<char>(separator)), static_cast<char>(separator));
    CORVANE_TRY(keys);
    Result<Ref> numbers = pack_values(*host, store);
    CORVANE_TRY(numbers);
    Result<PyObject*> made = insert_entries(*host, keys->get(), numbers->get());
    empty_array(numbers->get());
    if (made) {
        count_bulk_crossing();
    }
    return made;
}

}  // namespace corvane::frame
