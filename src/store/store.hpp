// Store: what one mapping holds, a key index handle followed by a value
// vector handle.
//
// Invariants (n = keys->size()):
//  1. values->size() == n.
//  2. The key index's positions are exactly 0 .. n-1; key k's value is
//     values->data()[position of k].
//  3. Once a store has been handed over to its owner, neither half is written
//     again. Operations make new stores: the result shares the receiver's key
//     index and owns a new value vector.
//
// A store is a value that owns its two handles. Moving it changes no count;
// clone() adds a holder to both halves; the destructor (and assigning over a
// store) lets go of the key index first, then the values.
#pragma once

#include "store/buffer.hpp"
#include "store/key_index.hpp"
#include "store/shared.hpp"
#include "store/value_vector.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane::store {

struct Store {
    Shared<KeyIndex> keys;
    Shared<ValueVector> values;

    Store() noexcept = default;
    Store(Shared<KeyIndex> keys, Shared<ValueVector> values) noexcept : keys(std::move(keys)), values(std::move(values))
    {
    }
    Store(Store&&) noexcept = default;
    Store& operator=(Store&& other) noexcept
    {
        if (this != &other) {
            release();
            keys = std::move(other.keys);
            values = std::move(other.values);
        }
        return *this;
    }
    ~Store() { release(); }

    [[nodiscard]] Store clone() const noexcept { return Store(keys.clone(), values.clone()); }

    [[nodiscard]] std::size_t size() const noexcept { return keys->size(); }

private:
    void release() noexcept
    {
        keys.release();
        values.release();
    }
};

static_assert(sizeof(Shared<KeyIndex>) == sizeof(void*) && sizeof(Shared<ValueVector>) == sizeof(void*));
static_assert(sizeof(Store) == 2 * sizeof(void*));

// Builds a store from (key, value) pairs. A key met again keeps the position
// it got first and takes the later value, as a dict literal with a repeated
// key would.
class StoreBuilder {
public:
    explicit StoreBuilder(std::size_t expected_keys, std::size_t expected_key_bytes = 0);

    // Throws bad_alloc (builder unchanged) when memory runs out.
    void put(std::string_view key, double value);

    struct Entry {
        std::string_view key;
        double value;
    };
    // put() for each entry in order. A large table misses the cache on every
    // new key; hashing a batch ahead and prefetching their slots lets those
    // misses overlap instead of paying them one after another. On bad_alloc
    // the entries before the failing one are in.
    void put_all(const Entry* entries, std::size_t count);

    // Key index first, then values, each in a new block of its own.
    [[nodiscard]] Store finish() &&;

private:
    KeyIndexBuilder keys_;
    ValueVector::Elements values_;
};

}  // namespace corvane::store
