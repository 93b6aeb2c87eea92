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
//     empty_slot. Linear probing from hash & mask reaches every key.
//  4. The keys are hashed with this index's own HashState, never shared with
//     another map.
//  5. n <= max_keys, so every position fits a slot and empty_slot is never a
//     position.
#pragma once

#include "store/buffer.hpp"
#include "store/hash_state.hpp"
#include "store/shared.hpp"

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

    // The position of `key` whose hash is `hash`, or empty_slot.
    std::uint32_t probe(std::string_view key, std::uint64_t hash) const noexcept;

    void prefetch_slot(std::uint64_t hash) const noexcept
    {
        __builtin_prefetch(slots_.data() + (static_cast<std::size_t>(hash) & mask_));
    }

    // Adds a key known to be absent; returns its position.
    std::size_t append(std::string_view key, std::uint64_t hash);

    bool equal_layout(const KeyTable& other) const noexcept;

    // Every key's bytes, in position order, back to back.
    std::string_view all_keys() const noexcept { return {arena_.data(), offsets_[count_]}; }

private:
    void place(std::uint64_t hash, std::uint32_t position) noexcept;
    void grow_table();

    HashState state_;
    Buffer<Slot> slots_;
    std::size_t mask_ = 0;  // slot count - 1; meaningless while there are no slots
    Buffer<char> arena_;
    Buffer<std::size_t> offsets_;  // capacity >= count_ + 1 at all times
    std::size_t count_ = 0;
};

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
    KeyIndex(Passkey, key_index_detail::KeyTable&& table) noexcept : table_(std::move(table)) {}

    [[nodiscard]] std::size_t size() const noexcept { return table_.size(); }
    [[nodiscard]] bool empty() const noexcept { return table_.size() == 0; }

    // The key at `position`; a position out of range is an internal fault.
    [[nodiscard]] std::string_view key(std::size_t position) const;

    // All keys' bytes back to back in position order: key(p) is the p-th piece.
    [[nodiscard]] std::string_view all_key_bytes() const noexcept { return table_.all_keys(); }

    // The position of `key`, hashed with this index's own state.
    [[nodiscard]] std::optional<std::size_t> find(std::string_view key) const noexcept;

    // True when both hold the same keys at the same positions (two empty
    // indexes included). Compares the stored bytes; hashes nothing.
    [[nodiscard]] bool equal_layout(const KeyIndex& other) const noexcept;

    // For the keys of `keys_from` at positions [begin, end), writes each one's
    // position in this index, or `missing`, to out[0 .. end-begin). Hashes a
    // batch first and prefetches its slots, so the probes of one batch overlap
    // their cache misses instead of paying them one after another.
    void find_positions_of(const KeyIndex& keys_from, std::size_t begin, std::size_t end, std::size_t* out) const;

private:
    key_index_detail::KeyTable table_;
};

class KeyIndexBuilder {
public:
    // Sizes the table for `expected_keys` distinct keys; more may arrive (the
    // table then grows). `expected_key_bytes`, when known, sizes the key arena
    // so that it never grows; otherwise it starts from a guess and doubles.
    explicit KeyIndexBuilder(std::size_t expected_keys, std::size_t expected_key_bytes = 0);

    struct Inserted {
        std::size_t position;
        bool is_new;
    };

    // A key already present keeps its position (is_new false); a new key gets
    // the next one. Throws bad_alloc when memory runs out or max_keys distinct
    // keys are already present, leaving the builder as it was.
    Inserted insert(std::string_view key) { return insert(key, hash(key)); }
    // The same, for a key whose hash() the caller already has.
    Inserted insert(std::string_view key, std::uint64_t key_hash);

    // The key's hash under this index's state, and a hint to bring its slot
    // into the cache before insert() needs it.
    [[nodiscard]] std::uint64_t hash(std::string_view key) const noexcept { return table_.hash(key); }
    void prefetch(std::uint64_t key_hash) const noexcept { table_.prefetch_slot(key_hash); }

    [[nodiscard]] std::size_t size() const noexcept { return table_.size(); }

    [[nodiscard]] Shared<KeyIndex> finish() &&;

private:
    key_index_detail::KeyTable table_;
};

}  // namespace corvane::store
