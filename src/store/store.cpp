#include "store/store.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace corvane::store {

StoreBuilder::StoreBuilder(std::size_t expected_keys, std::size_t expected_key_bytes)
    : keys_(expected_keys, expected_key_bytes), values_(std::min(expected_keys, KeyIndex::max_keys))
{
}

void StoreBuilder::put(std::string_view key, double value)
{
    // Room for a new value first: once the key is in, nothing may fail.
    values_.make_room(keys_.size() + 1, keys_.size());
    values_[keys_.insert(key)] = value;
}

void StoreBuilder::put_all(const Entry* entries, std::size_t count)
{
    // Room for every value first, as put() makes it for one. Repeated keys
    // leave some unused; finish() trims it.
    std::size_t needed = 0;
    if (__builtin_add_overflow(keys_.size(), count, &needed)) {
        throw std::bad_alloc();
    }
    values_.make_room(needed, keys_.size());
    keys_.insert_all([entries](std::size_t i) { return entries[i].key; }, count,
                     [this, entries](std::size_t i, std::size_t position) { values_[position] = entries[i].value; });
}

Store StoreBuilder::finish() &&
{
    const std::size_t n = keys_.size();
    if (n != values_.capacity()) {
        // Fewer distinct keys than expected (repeats) or growth: trim, so that
        // a vector's capacity is its length.
        values_.reallocate(n, n);
    }
    Shared<KeyIndex> keys = std::move(keys_).finish();
    return Store(std::move(keys), Shared<ValueVector>::make(std::move(values_)));
}

}  // namespace corvane::store
