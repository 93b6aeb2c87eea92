#include "store/key_index.hpp"

#include "store/fault.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <string>

namespace corvane::store {

namespace key_index_detail {

namespace {

// Keeping the table at most 9/16 full bounds the expected probe length of
// linear probing near 1.6 slots for hits and 3.1 for misses, for a cost of
// 14 to 28 bytes of slots per key.
std::uint64_t max_load(std::uint64_t slots) noexcept { return slots / 2 + slots / 16; }

constexpr std::size_t min_slots = 8;

std::size_t slots_for(std::size_t keys)
{
    std::size_t slots = min_slots;
    while (max_load(slots) < keys) {
        if (slots > std::numeric_limits<std::size_t>::max() / 2) {
            throw std::bad_alloc();
        }
        slots *= 2;
    }
    return slots;
}

Buffer<Slot> empty_slots(std::size_t count)
{
    Buffer<Slot> slots(count);
    std::memset(slots.data(), 0xFF, slots.capacity() * sizeof(Slot));
    return slots;
}

std::uint32_t tag_of(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash >> 32); }

// Keys of a Python dict are mostly short names; without a hint, assume about
// sixteen bytes each and let the arena grow when that was wrong.
constexpr std::size_t guessed_key_bytes = 16;

}  // namespace

KeyTable::KeyTable(std::size_t expected_keys, std::size_t expected_key_bytes)
    : state_(fresh_hash_state()), offsets_(std::min(expected_keys, KeyIndex::max_keys) + 1)
{
    expected_keys = std::min(expected_keys, KeyIndex::max_keys);
    if (expected_keys != 0) {
        slots_ = empty_slots(slots_for(expected_keys));
        mask_ = slots_.capacity() - 1;
        std::size_t arena_bytes = expected_key_bytes;
        if (arena_bytes == 0 && __builtin_mul_overflow(expected_keys, guessed_key_bytes, &arena_bytes)) {
            arena_bytes = 0;  // a guess that large is better left to growth
        }
        arena_ = Buffer<char>(arena_bytes);
    }
    offsets_[0] = 0;
}

std::uint32_t KeyTable::first_tagged(std::uint64_t hash) const noexcept
{
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t i = home_slot(hash);; i = next_slot(i)) {
        const Slot slot = slots_[i];
        if (slot.position == empty_slot || slot.tag == tag) {
            return slot.position;
        }
    }
}

std::uint32_t KeyTable::probe(std::string_view key, std::uint64_t hash) const noexcept
{
    if (count_ == 0) {
        return empty_slot;  // possibly no slots at all
    }
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t i = home_slot(hash);; i = next_slot(i)) {
        const Slot slot = slots_[i];
        if (slot.position == empty_slot) {
            return empty_slot;
        }
        if (slot.tag == tag) {
            const std::string_view stored = key_unchecked(slot.position);
            if (stored.size() == key.size() && same_bytes(stored.data(), key.data(), key.size())) {
                return slot.position;
            }
        }
    }
}

void KeyTable::place(std::uint64_t hash, std::uint32_t position) noexcept
{
    std::size_t i = home_slot(hash);
    while (slots_[i].position != empty_slot) {
        i = next_slot(i);
    }
    slots_[i] = Slot{tag_of(hash), position};
}

void KeyTable::grow_table()
{
    Buffer<Slot> slots = empty_slots(slots_for(count_ + 1));
    slots_.swap(slots);
    mask_ = slots_.capacity() - 1;
    // The slots keep only part of each hash, so the keys are hashed again.
    // This only happens when the builder was told too few keys.
    for (std::size_t p = 0; p < count_; ++p) {
        place(hash(key_unchecked(p)), static_cast<std::uint32_t>(p));
    }
}

std::size_t KeyTable::append(std::string_view key, std::uint64_t key_hash)
{
    if (count_ >= KeyIndex::max_keys) {
        throw std::bad_alloc();
    }
    // Everything that can throw happens before the first write below, so a
    // failed insert leaves the table as it was.
    const std::size_t used = offsets_[count_];
    std::size_t needed = 0;
    if (__builtin_add_overflow(used, key.size(), &needed)) {
        throw std::bad_alloc();
    }
    arena_.make_room(needed, used);
    offsets_.make_room(count_ + 2, count_ + 1);
    if (slots_.capacity() == 0 || max_load(slots_.capacity()) < std::uint64_t{count_} + 1) {
        grow_table();
    }
    if (!key.empty()) {
        std::memcpy(arena_.data() + used, key.data(), key.size());
    }
    const std::size_t position = count_;
    offsets_[position + 1] = needed;
    place(key_hash, static_cast<std::uint32_t>(position));
    ++count_;
    return position;
}

bool KeyTable::equal_layout(const KeyTable& other) const noexcept
{
    return count_ == other.count_ && offsets_[count_] == other.offsets_[other.count_] &&
           same_bytes(offsets_.data(), other.offsets_.data(), (count_ + 1) * sizeof(std::size_t)) &&
           same_bytes(arena_.data(), other.arena_.data(), offsets_[count_]);
}

bool KeyTable::well_formed() const noexcept
{
    if (count_ > KeyIndex::max_keys || offsets_[0] != 0 || (count_ != 0 && max_load(slots_.capacity()) < count_) ||
        (slots_.capacity() & mask_) != 0) {
        return false;
    }
    for (std::size_t p = 0; p < count_; ++p) {
        if (offsets_[p] > offsets_[p + 1] || probe(key_unchecked(p), hash(key_unchecked(p))) != p) {
            return false;
        }
    }
    std::size_t occupied = 0;
    for (std::size_t i = 0; i < slots_.capacity(); ++i) {
        occupied += slots_[i].position != empty_slot ? 1 : 0;
    }
    return occupied == count_;
}

}  // namespace key_index_detail

namespace {

// Never 0, which stands for "no proof".
std::atomic<std::uint64_t> next_index_id{1};

}  // namespace

KeyIndex::KeyIndex(Passkey, key_index_detail::KeyTable&& table) noexcept
    : table_(std::move(table)), id_(next_index_id.fetch_add(1, std::memory_order_relaxed))
{
    assert(table_.well_formed());
}

std::string_view KeyIndex::key(std::size_t position) const
{
    if (position >= size()) {
        out_of_bounds(size(), position);
    }
    return table_.key_unchecked(position);
}

std::optional<std::size_t> KeyIndex::find(std::string_view key) const noexcept
{
    const std::uint32_t position = table_.probe(key, table_.hash(key));
    if (position == key_index_detail::empty_slot) {
        return std::nullopt;
    }
    return position;
}

bool KeyIndex::equal_layout(const KeyIndex& other) const noexcept
{
    if (proven_equal_.load(std::memory_order_relaxed) == other.id_ ||
        other.proven_equal_.load(std::memory_order_relaxed) == id_) {
        return true;
    }
    if (!table_.equal_layout(other.table_)) {
        return false;
    }
    proven_equal_.store(other.id_, std::memory_order_relaxed);
    other.proven_equal_.store(id_, std::memory_order_relaxed);
    return true;
}

void KeyIndex::find_positions_of(const KeyIndex& keys_from, std::size_t begin, std::size_t end, std::size_t* out) const
{
    if (begin > end || end > keys_from.size()) {
        out_of_bounds(keys_from.size(), end > keys_from.size() ? end : begin);
    }
    if (empty()) {
        std::fill(out, out + (end - begin), missing);
        return;
    }
    using key_index_detail::batch;
    std::uint64_t hashes[batch];
    std::uint32_t found[batch];
    for (std::size_t first = begin; first < end; first += batch) {
        const std::size_t count = std::min(batch, end - first);
        const auto key_at = [&](std::size_t j) { return keys_from.table_.key_unchecked(first + j); };
        table_.hash_ahead(key_at, count, hashes);
        table_.probe_batch(key_at, hashes, count, found);
        for (std::size_t j = 0; j < count; ++j) {
            out[first - begin + j] = found[j] == key_index_detail::empty_slot ? missing : found[j];
        }
    }
}

KeyIndexBuilder::KeyIndexBuilder(std::size_t expected_keys, std::size_t expected_key_bytes)
    : table_(expected_keys, expected_key_bytes)
{
}

std::size_t KeyIndexBuilder::insert(std::string_view key, std::uint64_t key_hash)
{
    const std::uint32_t found = table_.probe(key, key_hash);
    if (found != key_index_detail::empty_slot) {
        return found;
    }
    return table_.append(key, key_hash);
}

Shared<KeyIndex> KeyIndexBuilder::finish() && { return Shared<KeyIndex>::make(KeyIndex::Passkey(), std::move(table_)); }

}  // namespace corvane::store
