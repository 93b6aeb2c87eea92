// ValueVector: the values of a store, one binary64 per key at the key's
// position, in a shared block. Length equals capacity: a vector is made at its
// final size and never grows. The elements are 64-byte aligned so that the
// arithmetic loops start on a cache line and full-width vector loads never
// straddle one.
#pragma once

#include "store/buffer.hpp"
#include "store/shared.hpp"

#include <cstddef>

namespace corvane::store {

class ValueVector {
public:
    static constexpr std::size_t alignment = 64;
    using Elements = Buffer<double, alignment>;

    // Adopts `elements`, whose capacity is the length.
    explicit ValueVector(Elements&& elements) noexcept : elements_(std::move(elements)) {}

    // A new block of n elements whose contents are left for the caller to
    // write before anyone else sees the vector. n == 0 allocates the block only.
    [[nodiscard]] static Shared<ValueVector> make_uninitialised(std::size_t n)
    {
        return Shared<ValueVector>::make(Elements(n));
    }

    [[nodiscard]] std::size_t size() const noexcept { return elements_.capacity(); }
    [[nodiscard]] double* data() noexcept { return elements_.data(); }
    [[nodiscard]] const double* data() const noexcept { return elements_.data(); }

private:
    Elements elements_;
};

}  // namespace corvane::store
