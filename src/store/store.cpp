#include "store/store.hpp"

#include <algorithm>
#include <cstring>

namespace corvane::store {

StoreBuilder::StoreBuilder(std::size_t expected_keys, std::size_t expected_key_bytes)
    : keys_(expected_keys, expected_key_bytes), values_(std::min(expected_keys, KeyIndex::max_keys))
{
}

void StoreBuilder::put(std::string_view key, double value)
{
    // Room for a new value first: once the key is in, nothing may fail.
    const std::size_t count = keys_.size();
    if (count == values_.capacity()) {
        values_.reallocate(std::max(count * 2, std::size_t{8}), count);
    }
    const KeyIndexBuilder::Inserted inserted = keys_.insert(key);
    values_[inserted.position] = value;
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
