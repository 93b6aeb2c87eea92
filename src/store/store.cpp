#include "store/store.hpp"

#include <algorithm>
#include <cstring>

namespace corvane::store {

StoreBuilder::StoreBuilder(std::size_t expected_keys, std::size_t expected_key_bytes)
    : keys_(expected_keys, expected_key_bytes), values_(std::min(expected_keys, KeyIndex::max_keys))
{
}

void StoreBuilder::put(std::string_view key, std::uint64_t key_hash, double value)
{
    // Room for a new value first: once the key is in, nothing may fail.
    const std::size_t count = keys_.size();
    if (count == values_.capacity()) {
        values_.reallocate(std::max(count * 2, std::size_t{8}), count);
    }
    const KeyIndexBuilder::Inserted inserted = keys_.insert(key, key_hash);
    values_[inserted.position] = value;
}

void StoreBuilder::put_all(const Entry* entries, std::size_t count)
{
    // About as many slot misses as a core keeps in flight.
    constexpr std::size_t ahead = 16;
    std::uint64_t hashes[ahead];
    for (std::size_t first = 0; first < count; first += ahead) {
        const std::size_t batch = std::min(ahead, count - first);
        for (std::size_t j = 0; j < batch; ++j) {
            hashes[j] = keys_.hash(entries[first + j].key);
            keys_.prefetch(hashes[j]);
        }
        for (std::size_t j = 0; j < batch; ++j) {
            put(entries[first + j].key, hashes[j], entries[first + j].value);
        }
    }
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
