// SipHash, the keyed hash every map of the store hashes its keys with. The
// round counts are parameters because the maps use the 1-3 variant while the
// published test vectors are for 2-4; one implementation serves both.
//
// Input is read as little-endian 64-bit words through memcpy, so the result
// does not depend on the host's byte order or on the alignment of the data.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace corvane::store {

namespace siphash_detail {

inline std::uint64_t load_le64(const unsigned char* p) noexcept
{
    std::uint64_t word = 0;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word);
    }
    return word;
}

template <int CompressionRounds, int FinalRounds>
class State {
public:
    State(std::uint64_t k0, std::uint64_t k1) noexcept
        : v0_(k0 ^ 0x736f6d6570736575ULL),
          v1_(k1 ^ 0x646f72616e646f6dULL),
          v2_(k0 ^ 0x6c7967656e657261ULL),
          v3_(k1 ^ 0x7465646279746573ULL)
    {
    }

    void compress(std::uint64_t m) noexcept
    {
        v3_ ^= m;
        for (int i = 0; i < CompressionRounds; ++i) {
            round();
        }
        v0_ ^= m;
    }

    std::uint64_t finish(std::uint64_t last_block) noexcept
    {
        compress(last_block);
        v2_ ^= 0xff;
        for (int i = 0; i < FinalRounds; ++i) {
            round();
        }
        return v0_ ^ v1_ ^ v2_ ^ v3_;
    }

private:
    void round() noexcept
    {
        v0_ += v1_;
        v1_ = std::rotl(v1_, 13);
        v1_ ^= v0_;
        v0_ = std::rotl(v0_, 32);
        v2_ += v3_;
        v3_ = std::rotl(v3_, 16);
        v3_ ^= v2_;
        v0_ += v3_;
        v3_ = std::rotl(v3_, 21);
        v3_ ^= v0_;
        v2_ += v1_;
        v1_ = std::rotl(v1_, 17);
        v1_ ^= v2_;
        v2_ = std::rotl(v2_, 32);
    }

    std::uint64_t v0_, v1_, v2_, v3_;
};

// The tail of the message (fewer than 8 bytes) as a little-endian word.
inline std::uint64_t load_tail(const unsigned char* p, std::size_t count) noexcept
{
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < count; ++i) {
        word |= std::uint64_t{p[i]} << (8 * i);
    }
    return word;
}

}  // namespace siphash_detail

// SipHash-c-d of data[0, length).
template <int CompressionRounds, int FinalRounds>
[[nodiscard]] std::uint64_t siphash(std::uint64_t k0, std::uint64_t k1, const unsigned char* data,
                                    std::size_t length) noexcept
{
    siphash_detail::State<CompressionRounds, FinalRounds> state(k0, k1);
    const std::size_t whole = length - length % 8;
    for (std::size_t i = 0; i < whole; i += 8) {
        state.compress(siphash_detail::load_le64(data + i));
    }
    const std::uint64_t tail = siphash_detail::load_tail(data + whole, length - whole);
    return state.finish(tail | (static_cast<std::uint64_t>(length) << 56));
}

// SipHash-c-d of data[0, length) followed by the one byte `trailer`, without
// copying the data into a longer buffer.
template <int CompressionRounds, int FinalRounds>
[[nodiscard]] std::uint64_t siphash_with_trailer(std::uint64_t k0, std::uint64_t k1, const unsigned char* data,
                                                 std::size_t length, unsigned char trailer) noexcept
{
    siphash_detail::State<CompressionRounds, FinalRounds> state(k0, k1);
    const std::size_t whole = length - length % 8;
    for (std::size_t i = 0; i < whole; i += 8) {
        state.compress(siphash_detail::load_le64(data + i));
    }
    const std::size_t rest = length - whole;  // 0..7 bytes, then the trailer
    std::uint64_t tail = siphash_detail::load_tail(data + whole, rest) | (std::uint64_t{trailer} << (8 * rest));
    // The length byte counts the message modulo 256, trailer included.
    const std::uint64_t length_byte = static_cast<std::uint64_t>(length + 1) << 56;
    if (rest == 7) {
        // The trailer completes a block of its own; the final block then
        // carries nothing but the length.
        state.compress(tail);
        tail = 0;
    }
    return state.finish(tail | length_byte);
}

}  // namespace corvane::store
