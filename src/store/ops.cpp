#include "store/ops.hpp"

#include "store/fault.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace corvane::store {

namespace {

[[noreturn]] void out_of_bounds(std::size_t length, std::size_t index,
                                std::source_location where = std::source_location::current())
{
    fault("index out of bounds: the len is " + std::to_string(length) + " but the index is " + std::to_string(index),
          where);
}

// Keys looked up per call of the batched lookup: enough to overlap the cache
// misses of a batch, small enough for the positions to stay on the stack.
constexpr std::size_t lookup_batch = 256;

template <Op op>
void combine_by_position(const ValueVector& receiver, const ValueVector& other, double* out)
{
    const std::size_t length = receiver.size();
    const std::size_t n = std::min(length, other.size());
    combine<op>(receiver.data(), other.data(), out, n);
    // Only a broken store could make the other shorter; its missing tail
    // keeps the receiver's values rather than reading past the end.
    if (n < length) {
        std::memcpy(out + n, receiver.data() + n, (length - n) * sizeof(double));
    }
}

// out[p] = receiver value at p OP (other's value for key p, or fill).
template <Op op>
void combine_by_key(const Store& receiver, const Store& other, double fill, double* out)
{
    const KeyIndex& keys = *receiver.keys;
    const std::size_t length = receiver.values->size();
    const double* mine = receiver.values->data();
    if (keys.size() > length) {
        out_of_bounds(length, length);
    }
    if (other.keys->empty()) {
        // Nothing to look up: every key takes the fill.
        combine_scalar<op>(mine, fill, out, keys.size());
    } else {
        const KeyIndex& theirs = *other.keys;
        const double* their_values = other.values->data();
        const std::size_t their_length = other.values->size();
        std::size_t found[lookup_batch];
        for (std::size_t begin = 0; begin < keys.size(); begin += lookup_batch) {
            const std::size_t end = std::min(keys.size(), begin + lookup_batch);
            theirs.find_positions_of(keys, begin, end, found);
            for (std::size_t p = begin; p < end; ++p) {
                const std::size_t q = found[p - begin];
                double right = fill;
                if (q != KeyIndex::missing) {
                    if (q >= their_length) {
                        out_of_bounds(their_length, q);
                    }
                    right = their_values[q];
                }
                out[p] = apply<op>(mine[p], right);
            }
        }
    }
    // Positions without a key (a broken store only) keep the receiver's value.
    if (keys.size() < length) {
        std::memcpy(out + keys.size(), mine + keys.size(), (length - keys.size()) * sizeof(double));
    }
}

template <Op op>
Store aligned_with(const Store& receiver, const Store& other, double fill)
{
    Shared<ValueVector> values = ValueVector::make_uninitialised(receiver.values->size());
    if (choose_path(receiver, other) == Path::keyed) {
        combine_by_key<op>(receiver, other, fill, values->data());
    } else {
        combine_by_position<op>(*receiver.values, *other.values, values->data());
    }
    return Store(receiver.keys.clone(), std::move(values));
}

template <Op op>
Store aligned_in_place(const Store& receiver, const Store& other, double fill)
{
    Store result = receiver.clone();
    make_unique(result.values);
    double* out = result.values->data();
    if (choose_path(receiver, other) == Path::keyed) {
        combine_by_key<op>(receiver, other, fill, out);
    } else {
        combine_by_position<op>(*result.values, *other.values, out);
    }
    return result;
}

template <Op op>
Store scalar_with(const Store& receiver, double s)
{
    const std::size_t n = receiver.values->size();
    Shared<ValueVector> values = ValueVector::make_uninitialised(n);
    combine_scalar<op>(receiver.values->data(), s, values->data(), n);
    return Store(receiver.keys.clone(), std::move(values));
}

// Maps the run-time operator onto the compiled loop for it.
template <template <Op> class Fn, class... Args>
auto dispatch(Op op, Args&&... args)
{
    switch (op) {
    case Op::add:
        return Fn<Op::add>::run(std::forward<Args>(args)...);
    case Op::subtract:
        return Fn<Op::subtract>::run(std::forward<Args>(args)...);
    case Op::multiply:
        return Fn<Op::multiply>::run(std::forward<Args>(args)...);
    case Op::divide:
        return Fn<Op::divide>::run(std::forward<Args>(args)...);
    }
    fault("unknown arithmetic operator " + std::to_string(static_cast<int>(op)));
}

template <Op op>
struct Aligned {
    static Store run(const Store& r, const Store& o, double fill) { return aligned_with<op>(r, o, fill); }
};

template <Op op>
struct AlignedInPlace {
    static Store run(const Store& r, const Store& o, double fill) { return aligned_in_place<op>(r, o, fill); }
};

template <Op op>
struct Scalar {
    static Store run(const Store& r, double s) { return scalar_with<op>(r, s); }
};

}  // namespace

Path choose_path(const Store& receiver, const Store& other) noexcept
{
    if (same_block(receiver.keys, other.keys)) {
        return Path::identical;
    }
    if (receiver.keys->size() == other.keys->size() && receiver.keys->equal_layout(*other.keys)) {
        return Path::equal;
    }
    return Path::keyed;
}

Store aligned(const Store& receiver, const Store& other, double fill, Op op)
{
    return dispatch<Aligned>(op, receiver, other, fill);
}

Store aligned_copy_then_update(const Store& receiver, const Store& other, double fill, Op op)
{
    return dispatch<AlignedInPlace>(op, receiver, other, fill);
}

Store scalar(const Store& receiver, double s, Op op) { return dispatch<Scalar>(op, receiver, s); }

Store reset(const Store& receiver, double s)
{
    const std::size_t n = receiver.values->size();
    Shared<ValueVector> values = ValueVector::make_uninitialised(n);
    fill_value(values->data(), s, n);
    return Store(receiver.keys.clone(), std::move(values));
}

double sum(const Store& store) noexcept
{
    const double* values = store.values->data();
    const std::size_t n = store.values->size();
    double total = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        total += values[i];
    }
    return total;
}

double product(const Store& store) noexcept
{
    const double* values = store.values->data();
    const std::size_t n = store.values->size();
    double total = 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        total *= values[i];
    }
    return total;
}

}  // namespace corvane::store
