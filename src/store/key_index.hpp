// The key index: a map from key (UTF-8 bytes, compared byte for byte) to
// position, built once by KeyIndexBuilder and never written afterwards. Every
// result of an operation shares its receiver's index, so lookups and walks are
// what it is designed for; insertion only has to be correct and amortised.
//
// Invariants, once finished (n = size()):
//  1. The positions are exactly 0 .. n-1, in insertion order of distinct keys.
//  2. Key p's bytes are arena[offsets[p], offsets[p+1]); offsets[0] == 0 and
//     offsets is non-decreasing. Keys are therefore stored in position order,
//     which makes key(p) O(1), the walk a linear scan, and two indexes hold the
//     same keys at the same positions exactly when their offsets and arena
//     bytes are equal.
//  3. The table has a power-of-two number of slots, at most ~56% full, so
//     every probe sequence ends at an empty slot. A slot holds the high 32
//     bits of the key's hash (a tag that rejects most mismatches without
//     touching the arena) and a 32-bit position; an empty slot has position
//     empty_slot. Linear probing from home_slot(hash) reaches every key.
//  4. The keys are hashed with this index's own HashState, never shared with
//     another map.
//  5. n <= max_keys, so every position fits a slot and empty_slot is never a
//     position.
//  6. id() is unique among all indexes the process ever makes, and a proof
//     of equality is remembered only as the other index's id: an index never
//     refers to another one, and an id is never reused for different keys.
#pragma once

#include "store/buffer.hpp"
#include "store/hash_state.hpp"
#include "store/shared.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

namespace corvane::store {

namespace key_index_detail {

struct Slot {
    std::uint32_t tag;
    std::uint32_t position;
};

inline constexpr std::uint32_t empty_slot = std::numeric_limits<std::uint32_t>::max();
// Slots are cleared with memset(0xFF), which writes this marker.
static_assert(empty_slot == ~std::uint32_t{0});

// Keys hashed ahead of their use, so that the misses of one batch overlap
// instead of being paid one after another: about what a core keeps in flight.
inline constexpr std::size_t batch = 32;

// The storage and lookup shared by the builder and the finished index.
class KeyTable {
public:
    KeyTable(std::size_t expected_keys, std::size_t expected_key_bytes);

    std::size_t size() const noexcept { return count_; }

    std::string_view key_unchecked(std::size_t position) const noexcept
    {
        const std::size_t begin = offsets_[position];
        return {arena_.data() + begin, offsets_[position + 1] - begin};
    }

    std::uint64_t hash(std::string_view key) const noexcept { return hash_key(state_, key); }

    // Hashes key_at(0 .. count) into hashes[] and prefetches each home slot:
    // the first step of every batch of lookups or inserts. count <= batch.
    template <class KeyAt>
    void hash_ahead(KeyAt key_at, std::size_t count, std::uint64_t* hashes) const noexcept
    {
        for (std::size_t j = 0; j < count; ++j) {
            hashes[j] = hash(key_at(j));
            __builtin_prefetch(slots_.data() + home_slot(hashes[j]));
        }
    }

    // The position of `key` whose hash is `hash`, or empty_slot.
    std::uint32_t probe(std::string_view key, std::uint64_t hash) const noexcept;

    // The positions of count <= batch keys whose hashes hash_ahead() wrote.
    // Walks the batch in stages (slot, then the stored key's offsets, then
    // its bytes), prefetching what the next stage reads.
    template <class KeyAt>
    void probe_batch(KeyAt key_at, const std::uint64_t* hashes, std::size_t count, std::uint32_t* out) const noexcept;

    // Adds a key known to be absent; returns its position.
    std::size_t append(std::string_view key, std::uint64_t hash);

    bool equal_layout(const KeyTable& other) const noexcept;

    // Every key's bytes, in position order, back to back.
    std::string_view all_keys() const noexcept { return {arena_.data(), offsets_[count_]}; }

    // Checks the invariants stated above; for debug builds.
    bool well_formed() const noexcept;

private:
    std::size_t home_slot(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash) & mask_; }
    std::size_t next_slot(std::size_t i) const noexcept { return (i + 1) & mask_; }
    // The position of the first slot of the probe sequence whose tag is
    // `hash`'s (the usual match), or empty_slot when the sequence ends first.
    std::uint32_t first_tagged(std::uint64_t hash) const noexcept;
    void place(std::uint64_t hash, std::uint32_t position) noexcept;
    void grow_table();

    HashState state_;
    Buffer<Slot> slots_;
    std::size_t mask_ = 0;  // slot count - 1; meaningless while there are no slots
    Buffer<char> arena_;
    Buffer<std::size_t> offsets_;  // capacity >= count_ + 1 at all times
    std::size_t count_ = 0;
};

template <class KeyAt>
void KeyTable::probe_batch(KeyAt key_at, const std::uint64_t* hashes, std::size_t count,
                           std::uint32_t* out) const noexcept
{
    for (std::size_t j = 0; j < count; ++j) {
        out[j] = first_tagged(hashes[j]);
        if (out[j] != empty_slot) {
            __builtin_prefetch(offsets_.data() + out[j]);
        }
    }
    for (std::size_t j = 0; j < count; ++j) {
        if (out[j] != empty_slot) {
            __builtin_prefetch(arena_.data() + offsets_[out[j]]);
        }
    }
    for (std::size_t j = 0; j < count; ++j) {
        if (out[j] != empty_slot) {
            const std::string_view key = key_at(j);
            const std::string_view stored = key_unchecked(out[j]);
            if (stored.size() != key.size() || !same_bytes(stored.data(), key.data(), key.size())) {
                // A tag shared by two keys (about 2^-32 per slot): the slow way.
                out[j] = probe(key, hashes[j]);
            }
        }
    }
}

}  // namespace key_index_detail

class KeyIndexBuilder;

class KeyIndex {
public:
    // Written by find_positions_of() for keys this index lacks.
    static constexpr std::size_t missing = std::numeric_limits<std::size_t>::max();
    // One position value is reserved for empty slots, and one more keeps
    // missing distinct from every position on 32-bit machines.
    static constexpr std::size_t max_keys = std::size_t{key_index_detail::empty_slot} - 1;

    // Only KeyIndexBuilder::finish() makes indexes.
    class Passkey {
        Passkey() = default;
        friend class KeyIndexBuilder;
    };
    KeyIndex(Passkey, key_index_detail::KeyTable&& table) noexcept;

    [[nodiscard]] std::size_t size() const noexcept { return table_.size(); }
    [[nodiscard]] bool empty() const noexcept { return table_.size() == 0; }

    // The key at `position`; a position out of range is an internal fault.
    [[nodiscard]] std::string_view key(std::size_t position) const;

    // All keys' bytes back to back in position order: key(p) is the p-th piece.
    [[nodiscard]] std::string_view all_key_bytes() const noexcept { return table_.all_keys(); }

    // The position of `key`, hashed with this index's own state.
    [[nodiscard]] std::optional<std::size_t> find(std::string_view key) const noexcept;

    // True when both hold the same keys at the same positions (two empty
    // indexes included). The first time for a pair, compares the stored bytes
    // (hashes nothing); a proof is then remembered, so that a chain of
    // operations between two objects built from the same keys pays it once.
    [[nodiscard]] bool equal_layout(const KeyIndex& other) const noexcept;

    // For the keys of `keys_from` at positions [begin, end), writes each one's
    // position in this index, or `missing`, to out[0 .. end-begin). Works in
    // batches whose slot, offset and key misses overlap.
    void find_positions_of(const KeyIndex& keys_from, std::size_t begin, std::size_t end, std::size_t* out) const;

    // Distinct for every index the process makes.
    [[nodiscard]] std::uint64_t id() const noexcept { return id_; }

private:
    key_index_detail::KeyTable table_;
    std::uint64_t id_;
    // The id of an index last proven equal to this one, or 0. Relaxed
    // atomics suffice: every value ever stored is a proven fact on its own,
    // and ids are never reused, so any value a reader sees is true.
    mutable std::atomic<std::uint64_t> proven_equal_{0};
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

class KeyIndexBuilder {
public:
    // Sizes the table for `expected_keys` distinct keys; more may arrive (the
    // table then grows). `expected_key_bytes`, when known, sizes the key arena
    // so that it never grows; otherwise it starts from a guess and grows.
    explicit KeyIndexBuilder(std::size_t expected_keys, std::size_t expected_key_bytes = 0);

    // The key's position: a key already present keeps its own, a new key gets
    // the next one. Throws bad_alloc when memory runs out or max_keys distinct
    // keys are already present, leaving the builder as it was.
    std::size_t insert(std::string_view key) { return insert(key, table_.hash(key)); }

    // insert() for key_at(0 .. count), calling placed(j, position) after each.
    template <class KeyAt, class Placed>
    void insert_all(KeyAt key_at, std::size_t count, Placed placed);

    [[nodiscard]] std::size_t size() const noexcept { return table_.size(); }

    [[nodiscard]] Shared<KeyIndex> finish() &&;

private:
    std::size_t insert(std::string_view key, std::uint64_t key_hash);

    key_index_detail::KeyTable table_;
};

template <class KeyAt, class Placed>
void KeyIndexBuilder::insert_all(KeyAt key_at, std::size_t count, Placed placed)
{
    std::uint64_t hashes[key_index_detail::batch];
    for (std::size_t first = 0; first < count; first += key_index_detail::batch) {
        const std::size_t size = std::min(key_index_detail::batch, count - first);
        const auto batch_key = [&](std::size_t j) { return key_at(first + j); };
        table_.hash_ahead(batch_key, size, hashes);
        for (std::size_t j = 0; j < size; ++j) {
            placed(first + j, insert(batch_key(j), hashes[j]));
        }
    }
}

}  // namespace corvane::store
