// Hash states for the store's maps.
//
// Each map gets its own pair of SipHash keys, so that no two maps share a
// probe layout and an attacker who learns one map's collisions learns nothing
// about another's. The keys come from a per-thread seed: 16 random bytes read
// once per thread, then stepped by one for every map that thread creates.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane::store {

struct HashState {
    std::uint64_t k0;
    std::uint64_t k1;
};

// A copy of this thread's seed, after which the seed's k0 moves on by one
// (wrapping); k1 never changes. The first call on a thread fills the seed from
// getrandom (or /dev/urandom where getrandom is missing) and raises a Fault if
// neither can be read.
[[nodiscard]] HashState fresh_hash_state();

// SipHash-1-3 keyed with the state, over the key's bytes followed by 0xFF.
// The terminator (a byte that never occurs in UTF-8) makes the encoding
// prefix-free, so hashing keys one after another could not make "a", "b"
// collide with "ab", "". Every map of the store hashes keys this way.
[[nodiscard]] std::uint64_t hash_key(const HashState& state, std::string_view key) noexcept;

}  // namespace corvane::store
