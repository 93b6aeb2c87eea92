// The aligned operation computed the textbook way, as a reference for tests,
// the fuzzer and the benchmark: copy the receiver's values (copy-on-write),
// then update the copy in place, looking every key up on its own when the
// indexes differ. Twice the memory traffic of aligned(), and none of its
// batching, so it shares no code with it beyond the kernels.
#pragma once

#include "store/kernels.hpp"
#include "store/ops.hpp"
#include "store/store.hpp"

#include "store/fault.hpp"

#include <cstring>
#include <optional>

namespace corvane::store {

// Copy-on-write: afterwards `handle` is the sole holder of a vector with the
// same elements, bit for bit, and may write it. use_count() is only a
// snapshot, which is enough for the single-threaded code that uses this.
inline void make_unique(Shared<ValueVector>& handle)
{
    if (handle.use_count() == 1) {
        return;
    }
    const std::size_t n = handle->size();
    Shared<ValueVector> copy = ValueVector::make_uninitialised(n);
    if (n != 0) {
        std::memcpy(copy->data(), handle->data(), n * sizeof(double));
    }
    handle = std::move(copy);
}

inline Store aligned_copy_then_update(const Store& receiver, const Store& other, double fill, Op op)
{
    if (receiver.keys->size() != receiver.values->size() || other.keys->size() != other.values->size()) {
        fault("a broken store");
    }
    Store result = receiver.clone();
    make_unique(result.values);
    const bool positional = choose_path(receiver, other) != Path::keyed;
    double* out = result.values->data();
    const KeyIndex& keys = *receiver.keys;
    const auto update = [&]<Op o>() {
        if (positional) {
            combine<o>(out, other.values->data(), out, keys.size());
            return;
        }
        for (std::size_t p = 0; p < keys.size(); ++p) {
            const std::optional<std::size_t> q = other.keys->find(keys.key(p));
            out[p] = apply<o>(out[p], q ? other.values->data()[*q] : fill);
        }
    };
    with_op(op, [&](auto o) { update.template operator()<decltype(o)::value>(); });
    return result;
}

}  // namespace corvane::store
