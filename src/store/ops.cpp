#include "store/ops.hpp"

#include "store/fault.hpp"

#include <algorithm>
#include <string>
#include <type_traits>

namespace corvane::store {

namespace {

// Every loop below trusts the store invariants; a store that breaks them is
// refused here, once, instead of per element. The key index guarantees its
// own positions are 0 .. n-1, so equal lengths are all that is left to check.
void check_well_formed(const Store& store)
{
    if (store.keys->size() != store.values->size()) {
        out_of_bounds(store.values->size(), std::min(store.keys->size(), store.values->size()));
    }
}

// Keys looked up per call of the batched lookup: enough to overlap the cache
// misses of a batch, small enough for the positions to stay on the stack.
constexpr std::size_t lookup_batch = 256;

// out[p] = mine[p] OP (their value for key p, or fill). Two batches are in
// flight: while one is looked up, the values the other found are on their
// way into the cache.
template <Op op>
void combine_by_key(const KeyIndex& keys, const double* mine, const KeyIndex& theirs, const double* their_values,
                    double fill, double* out)
{
    const std::size_t n = keys.size();
    std::size_t found[2][lookup_batch];
    const auto look_up = [&](std::size_t begin, std::size_t* positions) {
        const std::size_t end = std::min(n, begin + lookup_batch);
        theirs.find_positions_of(keys, begin, end, positions);
        for (std::size_t j = 0; j < end - begin; ++j) {
            if (positions[j] != KeyIndex::missing) {
                __builtin_prefetch(their_values + positions[j]);
            }
        }
    };
    look_up(0, found[0]);
    for (std::size_t begin = 0, turn = 0; begin < n; begin += lookup_batch, turn ^= 1) {
        if (begin + lookup_batch < n) {
            look_up(begin + lookup_batch, found[turn ^ 1]);
        }
        const std::size_t* positions = found[turn];
        const std::size_t end = std::min(n, begin + lookup_batch);
        for (std::size_t p = begin; p < end; ++p) {
            const std::size_t q = positions[p - begin];
            out[p] = apply<op>(mine[p], q == KeyIndex::missing ? fill : their_values[q]);
        }
    }
}

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
    check_well_formed(receiver);
    check_well_formed(other);
    const std::size_t n = receiver.values->size();
    Shared<ValueVector> values = ValueVector::make_uninitialised(n);
    double* out = values->data();
    const double* mine = receiver.values->data();
    const double* theirs = other.values->data();
    const bool positional = choose_path(receiver, other) != Path::keyed;
    with_op(op, [&](auto o) {
        if (positional) {
            combine<decltype(o)::value>(mine, theirs, out, n);
        } else if (other.keys->empty()) {
            combine_scalar<decltype(o)::value>(mine, fill, out, n);  // nothing to look up
        } else {
            combine_by_key<decltype(o)::value>(*receiver.keys, mine, *other.keys, theirs, fill, out);
        }
    });
    return Store(receiver.keys.clone(), std::move(values));
}

Store scalar(const Store& receiver, double s, Op op)
{
    const std::size_t n = receiver.values->size();
    Shared<ValueVector> values = ValueVector::make_uninitialised(n);
    with_op(op, [&](auto o) { combine_scalar<decltype(o)::value>(receiver.values->data(), s, values->data(), n); });
    return Store(receiver.keys.clone(), std::move(values));
}

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
