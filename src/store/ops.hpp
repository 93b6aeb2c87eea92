// The operations on stores. Each makes a new store that shares the receiver's
// key index and owns a new value vector; receiver and other operand are only
// read. Failures: std::bad_alloc when memory runs out (nothing is left
// behind), Fault when a store's invariants turn out broken.
#pragma once

#include "store/kernels.hpp"
#include "store/store.hpp"

namespace corvane::store {

enum class Path {
    identical,  // both hold the very same key index
    equal,      // distinct key indexes with the same keys at the same positions
    keyed,      // anything else: every receiver key is looked up in the other
};

// Free for identical indexes; a comparison of the stored keys (no hashing)
// for indexes of the same size; nothing for indexes of different sizes.
[[nodiscard]] Path choose_path(const Store& receiver, const Store& other) noexcept;

// For each receiver key k: receiver[k] OP (other[k] if other holds k, else
// fill). Position by position when the paths allow, else key by key. The
// result's values are written in one pass from both inputs.
[[nodiscard]] Store aligned(const Store& receiver, const Store& other, double fill, Op op);

// receiver[k] OP s for every key.
[[nodiscard]] Store scalar(const Store& receiver, double s, Op op);

// s, bit for bit, for every key.
[[nodiscard]] Store reset(const Store& receiver, double s);

// A single running sum from -0.0 (so an empty store sums to -0.0 and a store
// of one value sums to that value exactly), in position order. No pairwise or
// compensated summation: the result is the plain left fold.
[[nodiscard]] double sum(const Store& store) noexcept;

// A single running product from 1.0, in position order.
[[nodiscard]] double product(const Store& store) noexcept;

}  // namespace corvane::store
