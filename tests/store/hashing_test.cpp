// Keyed hashing: the SipHash rounds against published and independently
// computed values, the trailing-byte variant against the plain one, and the
// per-thread seeding of hash states.

#include "store/hash_state.hpp"
#include "store/siphash.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace corvane::store {
namespace {

std::vector<unsigned char> counting_bytes(std::size_t n)
{
    std::vector<unsigned char> bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<unsigned char>(i);
    }
    return bytes;
}

// SipHash-2-4 reference outputs for the key 00 01 .. 0f and the messages
// 00 01 .. (length-1) of lengths 0 to 63 (the published bytes, read as
// little-endian words), four to a line.
// clang-format off
constexpr std::uint64_t siphash24_reference[64] = {
    0x726fdb47dd0e0e31ULL, 0x74f839c593dc67fdULL, 0x0d6c8009d9a94f5aULL, 0x85676696d7fb7e2dULL,
    0xcf2794e0277187b7ULL, 0x18765564cd99a68dULL, 0xcbc9466e58fee3ceULL, 0xab0200f58b01d137ULL,
    0x93f5f5799a932462ULL, 0x9e0082df0ba9e4b0ULL, 0x7a5dbbc594ddb9f3ULL, 0xf4b32f46226bada7ULL,
    0x751e8fbc860ee5fbULL, 0x14ea5627c0843d90ULL, 0xf723ca908e7af2eeULL, 0xa129ca6149be45e5ULL,
    0x3f2acc7f57c29bdbULL, 0x699ae9f52cbe4794ULL, 0x4bc1b3f0968dd39cULL, 0xbb6dc91da77961bdULL,
    0xbed65cf21aa2ee98ULL, 0xd0f2cbb02e3b67c7ULL, 0x93536795e3a33e88ULL, 0xa80c038ccd5ccec8ULL,
    0xb8ad50c6f649af94ULL, 0xbce192de8a85b8eaULL, 0x17d835b85bbb15f3ULL, 0x2f2e6163076bcfadULL,
    0xde4daaaca71dc9a5ULL, 0xa6a2506687956571ULL, 0xad87a3535c49ef28ULL, 0x32d892fad841c342ULL,
    0x7127512f72f27cceULL, 0xa7f32346f95978e3ULL, 0x12e0b01abb051238ULL, 0x15e034d40fa197aeULL,
    0x314dffbe0815a3b4ULL, 0x027990f029623981ULL, 0xcadcd4e59ef40c4dULL, 0x9abfd8766a33735cULL,
    0x0e3ea96b5304a7d0ULL, 0xad0c42d6fc585992ULL, 0x187306c89bc215a9ULL, 0xd4a60abcf3792b95ULL,
    0xf935451de4f21df2ULL, 0xa9538f0419755787ULL, 0xdb9acddff56ca510ULL, 0xd06c98cd5c0975ebULL,
    0xe612a3cb9ecba951ULL, 0xc766e62cfcadaf96ULL, 0xee64435a9752fe72ULL, 0xa192d576b245165aULL,
    0x0a8787bf8ecb74b2ULL, 0x81b3e73d20b49b6fULL, 0x7fa8220ba3b2eceaULL, 0x245731c13ca42499ULL,
    0xb78dbfaf3a8d83bdULL, 0xea1ad565322a1a0bULL, 0x60e61c23a3795013ULL, 0x6606d7e446282b93ULL,
    0x6ca4ecb15c5f91e1ULL, 0x9f626da15c9625f3ULL, 0xe51b38608ef25f57ULL, 0x958a324ceb064572ULL,
};
// clang-format on

TEST(SipHash, TwoFourMatchesReferenceVectors)
{
    const std::uint64_t k0 = 0x0706050403020100ULL;
    const std::uint64_t k1 = 0x0f0e0d0c0b0a0908ULL;
    const std::vector<unsigned char> message = counting_bytes(64);
    for (std::size_t length = 0; length < 64; ++length) {
        EXPECT_EQ((siphash<2, 4>(k0, k1, message.data(), length)), siphash24_reference[length])
            << "message length " << length;
    }
}

// The hash of bytes(range(n)) by an interpreter whose bytes hash is
// SipHash-1-3 with key (0, 0), as two's complement words.
struct Expected {
    std::size_t length;
    std::uint64_t hash;
};

TEST(SipHash, OneThreeMatchesIndependentImplementation)
{
    constexpr Expected cases[] = {
        {1, 0x68a914128e01e473ULL},  {2, 0x010bac45c41e3669ULL},  {3, 0x4d4c9a4a8ef6e0adULL},
        {7, 0x2f098ab0c751325aULL},  {8, 0xead411e67ebe2eeaULL},  {9, 0x75927f9d95124362ULL},
        {15, 0xf30eb725bb91c9eaULL}, {16, 0x8972188433a5c5b7ULL}, {17, 0x4883c49a2c009c1dULL},
        {24, 0x31185a47af932f3aULL}, {31, 0x169739443111d49bULL}, {32, 0x31ef8061c910629bULL},
        {33, 0x7fb71d24dfa4c9f6ULL}, {40, 0x95bc321ab41d8206ULL},
    };
    const std::vector<unsigned char> message = counting_bytes(64);
    for (const Expected& c : cases) {
        EXPECT_EQ((siphash<1, 3>(0, 0, message.data(), c.length)), c.hash) << "message length " << c.length;
    }
}

TEST(SipHash, TrailerVariantHashesTheLongerMessage)
{
    // The same independent values for bytes(range(n)) + b"\xff"; lengths 7
    // and 15 put the trailer at the end of a full block.
    constexpr Expected cases[] = {
        {0, 0x30406ea523c53defULL},  {1, 0xda5735e7144b8d9fULL},  {6, 0xd5bf2f14af4875a6ULL},
        {7, 0x01e16b28a4551c5bULL},  {8, 0xa2435468dc022489ULL},  {14, 0x14b2a236e8c6461eULL},
        {15, 0x34ee35f20e1ee022ULL}, {16, 0x896f2c9af642d0beULL}, {23, 0xba2a21a2cbea5ed3ULL},
    };
    const std::vector<unsigned char> message = counting_bytes(64);
    for (const Expected& c : cases) {
        EXPECT_EQ((siphash_with_trailer<1, 3>(0, 0, message.data(), c.length, 0xFF)), c.hash)
            << "message length " << c.length;
    }

    // And against the plain function on the concatenation, for every tail
    // length, another key and other round counts.
    const std::uint64_t k0 = 0x0123456789abcdefULL, k1 = 0xfedcba9876543210ULL;
    for (std::size_t length = 0; length <= 40; ++length) {
        std::vector<unsigned char> longer = counting_bytes(length);
        longer.push_back(0x5a);
        EXPECT_EQ((siphash_with_trailer<1, 3>(k0, k1, longer.data(), length, 0x5a)),
                  (siphash<1, 3>(k0, k1, longer.data(), length + 1)));
        EXPECT_EQ((siphash_with_trailer<2, 4>(k0, k1, longer.data(), length, 0x5a)),
                  (siphash<2, 4>(k0, k1, longer.data(), length + 1)));
    }
}

TEST(SipHash, UnalignedInputGivesTheSameHash)
{
    std::vector<unsigned char> buffer(80);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t i = 0; i < 33; ++i) {
            buffer[offset + i] = static_cast<unsigned char>(i);
        }
        EXPECT_EQ((siphash<1, 3>(0, 0, buffer.data() + offset, 33)), 0x7fb71d24dfa4c9f6ULL) << offset;
    }
}

TEST(HashKey, HashesTheKeyBytesFollowedByFF)
{
    const HashState state{0, 0};
    EXPECT_EQ(hash_key(state, "abc"), 0xef09e0f4895a251dULL);
    // Non-ASCII text is hashed as its UTF-8 bytes.
    EXPECT_EQ(hash_key(state, "h\u00e9llo\u20ac"), 0x118c36b5b5049198ULL);

    const HashState keyed{0x1111111111111111ULL, 0x2222222222222222ULL};
    for (const std::string& key : {std::string(), std::string("a"), std::string("seven77"), std::string("with\0nul", 8),
                                   std::string(100, 'x')}) {
        std::string message = key + '\xff';
        EXPECT_EQ(hash_key(keyed, key),
                  (siphash<1, 3>(keyed.k0, keyed.k1, reinterpret_cast<const unsigned char*>(message.data()),
                                 message.size())));
    }
    EXPECT_NE(hash_key(keyed, "a"), hash_key(HashState{keyed.k0 + 1, keyed.k1}, "a"));
}

TEST(HashState, SuccessiveStatesStepK0ByOne)
{
    const HashState first = fresh_hash_state();
    const HashState second = fresh_hash_state();
    const HashState third = fresh_hash_state();
    EXPECT_EQ(second.k0, first.k0 + 1);
    EXPECT_EQ(third.k0, first.k0 + 2);
    EXPECT_EQ(second.k1, first.k1);
    EXPECT_EQ(third.k1, first.k1);
}

TEST(HashState, EachThreadHasItsOwnSeed)
{
    const HashState here = fresh_hash_state();
    HashState there{};
    std::thread([&there] { there = fresh_hash_state(); }).join();
    // 128 random bits: equal seeds would mean the random source was not read.
    EXPECT_FALSE(here.k1 == there.k1 && there.k0 - here.k0 < 1000);
    // The other thread's states do not advance this thread's seed.
    EXPECT_EQ(fresh_hash_state().k0, here.k0 + 1);
}

}  // namespace
}  // namespace corvane::store
