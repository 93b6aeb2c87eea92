// Arithmetic: the kernels' IEEE behaviour and operand order, the choice of
// path, the aligned, scalar and reset operations, and the reductions.

#include "store/fault.hpp"
#include "store/kernels.hpp"
#include "store/ops.hpp"

#include "copy_then_update.hpp"
#include "numbered.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace corvane::store {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

Store make_store(const std::vector<std::pair<std::string, double>>& entries)
{
    StoreBuilder builder(entries.size());
    for (const auto& [key, value] : entries) {
        builder.put(key, value);
    }
    return std::move(builder).finish();
}

using Contents = std::map<std::string, double>;

Contents contents(const Store& store)
{
    EXPECT_EQ(store.values->size(), store.keys->size());
    Contents out;
    for (std::size_t p = 0; p < store.size(); ++p) {
        out.emplace(std::string(store.keys->key(p)), store.values->data()[p]);
    }
    return out;
}

// Same keys, and per key the same bits, except that any NaN matches any NaN
// (the sign and payload of a computed NaN are the hardware's choice).
testing::AssertionResult same_contents(const Contents& actual, const Contents& wanted)
{
    if (actual.size() != wanted.size()) {
        return testing::AssertionFailure() << actual.size() << " keys instead of " << wanted.size();
    }
    for (const auto& [key, value] : wanted) {
        const auto it = actual.find(key);
        if (it == actual.end()) {
            return testing::AssertionFailure() << "missing key " << key;
        }
        const bool both_nan = std::isnan(it->second) && std::isnan(value);
        if (!both_nan && bits(it->second) != bits(value)) {
            return testing::AssertionFailure() << "key " << key << ": " << it->second << " instead of " << value;
        }
    }
    return testing::AssertionSuccess();
}

// Every result shares the receiver's key index, owns values nobody else
// holds, and leaves the receiver as it was.
void expect_well_formed_result(const Store& result, const Store& receiver, const Contents& receiver_before)
{
    EXPECT_TRUE(same_block(result.keys, receiver.keys));
    EXPECT_FALSE(same_block(result.values, receiver.values));
    EXPECT_NE(result.values->data(), receiver.values->data());
    EXPECT_EQ(result.values.use_count(), 1u);
    EXPECT_EQ(result.values->size(), receiver.values->size());
    EXPECT_TRUE(same_contents(contents(receiver), receiver_before));
}

TEST(Kernels, OperandOrderTrueDivisionAndTails)
{
    // Lengths around the vector width: full vectors, a scalar tail, or both.
    for (std::size_t n : {1u, 2u, 3u, 7u}) {
        std::vector<double> a(n, 3.0), b(n, 10.0), out(n);
        combine<Op::divide>(a.data(), b.data(), out.data(), n);
        for (double v : out) {
            // A true division: 3.0 * (1 / 10.0) would be 0.30000000000000004.
            EXPECT_EQ(bits(v), bits(0.3)) << n;
        }
        combine_scalar<Op::divide>(a.data(), 10.0, out.data(), n);
        EXPECT_EQ(bits(out[n - 1]), bits(0.3)) << n;
        combine<Op::subtract>(b.data(), a.data(), out.data(), n);
        EXPECT_EQ(out[n - 1], 7.0) << n;
        combine_scalar<Op::subtract>(a.data(), 10.0, out.data(), n);
        EXPECT_EQ(out[n - 1], -7.0) << n;

        // In place: out may be the left operand.
        combine<Op::multiply>(a.data(), b.data(), a.data(), n);
        combine_scalar<Op::add>(a.data(), -0.5, a.data(), n);
        EXPECT_EQ(a[0], 29.5);
        EXPECT_EQ(a[n - 1], 29.5);

        const double payload_nan = std::bit_cast<double>(0xfff4000000000123ULL);
        fill_value(out.data(), payload_nan, n);
        for (double v : out) {
            EXPECT_EQ(bits(v), bits(payload_nan));
        }
    }
}

TEST(Ops, PathSelection)
{
    const Store d = make_store({{"a", 1.0}, {"b", 2.0}});
    const Store derived = scalar(d, 2.0, Op::multiply);
    EXPECT_EQ(choose_path(d, d), Path::identical);
    EXPECT_EQ(choose_path(d, derived), Path::identical);
    EXPECT_EQ(choose_path(derived, reset(d, 0.0)), Path::identical);

    EXPECT_EQ(choose_path(d, make_store({{"a", 5.0}, {"b", 6.0}})), Path::equal);
    EXPECT_EQ(choose_path(d, make_store({{"b", 5.0}, {"a", 6.0}})), Path::keyed);
    EXPECT_EQ(choose_path(d, make_store({{"a", 5.0}})), Path::keyed);
    EXPECT_EQ(choose_path(d, make_store({{"a", 5.0}, {"c", 6.0}})), Path::keyed);
    EXPECT_EQ(choose_path(make_store({}), make_store({})), Path::equal);
}

TEST(Ops, AlignedOnThePositionalPaths)
{
    const Store d = make_store({{"a", 10.0}, {"b", -0.0}, {"c", inf}, {"d", 3.0}, {"e", 0.0}});
    const Contents before = contents(d);

    const Store doubled = aligned(d, d, nan, Op::add);  // fill plays no part here
    expect_well_formed_result(doubled, d, before);
    EXPECT_TRUE(same_contents(contents(doubled), {{"a", 20.0}, {"b", -0.0}, {"c", inf}, {"d", 6.0}, {"e", 0.0}}));

    const Store tenfold = scalar(d, 10.0, Op::multiply);
    const Store ratio = aligned(d, tenfold, 1.0, Op::divide);
    expect_well_formed_result(ratio, d, before);
    EXPECT_TRUE(same_contents(contents(ratio), {{"a", 0.1}, {"b", nan}, {"c", nan}, {"d", 0.1}, {"e", nan}}));

    // Built separately with the same layout: receiver on the left throughout.
    const Store other = make_store({{"a", 4.0}, {"b", 1.0}, {"c", 1.0}, {"d", 10.0}, {"e", -0.0}});
    ASSERT_EQ(choose_path(d, other), Path::equal);
    EXPECT_TRUE(same_contents(contents(aligned(d, other, 0.0, Op::subtract)),
                              {{"a", 6.0}, {"b", -1.0}, {"c", inf}, {"d", -7.0}, {"e", 0.0}}));
    EXPECT_TRUE(same_contents(contents(aligned(other, d, 0.0, Op::divide)),
                              {{"a", 0.4}, {"b", -inf}, {"c", 0.0}, {"d", 10.0 / 3.0}, {"e", nan}}));
    EXPECT_TRUE(same_contents(contents(aligned(d, other, 0.0, Op::multiply)),
                              {{"a", 40.0}, {"b", -0.0}, {"c", inf}, {"d", 30.0}, {"e", -0.0}}));
    EXPECT_TRUE(same_contents(contents(other), {{"a", 4.0}, {"b", 1.0}, {"c", 1.0}, {"d", 10.0}, {"e", -0.0}}));
}

TEST(Ops, AlignedKeyByKeyUsesFillForMissingKeys)
{
    const Store receiver = make_store({{"a", 10.0}, {"b", 5.0}, {"m", -0.0}});
    const Store other = make_store({{"b", 2.0}, {"z", 9.0}});
    const Contents before = contents(receiver);
    ASSERT_EQ(choose_path(receiver, other), Path::keyed);

    const Store difference = aligned(receiver, other, 1.0, Op::subtract);
    expect_well_formed_result(difference, receiver, before);
    EXPECT_TRUE(same_contents(contents(difference), {{"a", 9.0}, {"b", 3.0}, {"m", -1.0}}));
    EXPECT_TRUE(
        same_contents(contents(aligned(receiver, other, 4.0, Op::divide)), {{"a", 2.5}, {"b", 2.5}, {"m", -0.0}}));
    // The default fill of add still adds: -0.0 + 0.0 is +0.0.
    EXPECT_TRUE(same_contents(contents(aligned(receiver, other, 0.0, Op::add)), {{"a", 10.0}, {"b", 7.0}, {"m", 0.0}}));
    EXPECT_TRUE(
        same_contents(contents(aligned(receiver, other, nan, Op::multiply)), {{"a", nan}, {"b", 10.0}, {"m", nan}}));
    // Keys only the other holds are dropped; the result has the receiver's keys.
    EXPECT_TRUE(same_contents(contents(aligned(other, receiver, 0.0, Op::add)), {{"b", 7.0}, {"z", 9.0}}));

    // Disjoint keys and an empty other: every value meets the fill.
    const Store disjoint = make_store({{"x", 1.0}, {"y", 2.0}, {"w", 3.0}});
    EXPECT_TRUE(same_contents(contents(aligned(receiver, disjoint, 2.0, Op::multiply)),
                              {{"a", 20.0}, {"b", 10.0}, {"m", -0.0}}));
    const Store empty = make_store({});
    const Store with_empty = aligned(receiver, empty, 0.0, Op::multiply);
    expect_well_formed_result(with_empty, receiver, before);
    EXPECT_TRUE(same_contents(contents(with_empty), {{"a", 0.0}, {"b", 0.0}, {"m", -0.0}}));

    // Empty receiver: empty result, whatever the other.
    for (const Store* rhs : {&receiver, &empty}) {
        const Store result = aligned(empty, *rhs, 3.0, Op::add);
        EXPECT_EQ(result.size(), 0u);
        EXPECT_EQ(result.values->size(), 0u);
        EXPECT_TRUE(same_block(result.keys, empty.keys));
    }
}

TEST(Ops, FusedPassAgreesWithCopyThenUpdate)
{
    // The same keys inserted in opposite orders: positions differ, so the
    // key-by-key path (with its batched lookups) must match each key up.
    std::vector<std::pair<std::string, double>> forward, backward;
    for (int i = 0; i < 3000; ++i) {
        forward.emplace_back(numbered("k", i), i);
    }
    for (int i = 3000; i-- > 0;) {
        if (i % 7 != 0) {
            backward.emplace_back(numbered("k", i), 0.5 * i);
        }
    }
    const Store receiver = make_store(forward);
    const Store other = make_store(backward);
    ASSERT_EQ(choose_path(receiver, other), Path::keyed);
    const Contents before = contents(receiver);
    const Store same_layout = scalar(make_store(forward), 3.0, Op::add);
    for (Op op : {Op::add, Op::subtract, Op::multiply, Op::divide}) {
        // Against the unfused copy-then-update reference, on every path.
        for (const Store* rhs : {&other, &receiver, &same_layout}) {
            const Store reference = aligned_copy_then_update(receiver, *rhs, -1.0, op);
            expect_well_formed_result(reference, receiver, before);
            EXPECT_TRUE(same_contents(contents(aligned(receiver, *rhs, -1.0, op)), contents(reference)));
        }
    }
    const Contents sums = contents(aligned(receiver, other, -1.0, Op::add));
    EXPECT_EQ(sums.at("k14"), 13.0);  // 14 % 7 == 0: fill
    EXPECT_EQ(sums.at("k15"), 22.5);
}

TEST(Ops, ScalarAndReset)
{
    const Store d = make_store({{"a", 10.0}, {"b", -0.0}, {"c", 0.0}, {"d", -1.0}, {"e", nan}});
    const Contents before = contents(d);

    const Store minus = scalar(d, 3.0, Op::subtract);
    expect_well_formed_result(minus, d, before);
    EXPECT_TRUE(same_contents(contents(minus), {{"a", 7.0}, {"b", -3.0}, {"c", -3.0}, {"d", -4.0}, {"e", nan}}));
    EXPECT_TRUE(same_contents(contents(scalar(d, 0.0, Op::add)),
                              {{"a", 10.0}, {"b", 0.0}, {"c", 0.0}, {"d", -1.0}, {"e", nan}}));
    EXPECT_TRUE(same_contents(contents(scalar(d, 0.0, Op::subtract)),
                              {{"a", 10.0}, {"b", -0.0}, {"c", 0.0}, {"d", -1.0}, {"e", nan}}));
    EXPECT_TRUE(same_contents(contents(scalar(d, -1.0, Op::multiply)),
                              {{"a", -10.0}, {"b", 0.0}, {"c", -0.0}, {"d", 1.0}, {"e", nan}}));
    EXPECT_TRUE(same_contents(contents(scalar(d, 0.0, Op::divide)),
                              {{"a", inf}, {"b", nan}, {"c", nan}, {"d", -inf}, {"e", nan}}));
    EXPECT_TRUE(same_contents(contents(scalar(d, -0.0, Op::divide)),
                              {{"a", -inf}, {"b", nan}, {"c", nan}, {"d", inf}, {"e", nan}}));
    EXPECT_TRUE(same_contents(contents(scalar(make_store({{"x", 3.0}}), 10.0, Op::divide)), {{"x", 0.3}}));

    const Store zeros = reset(d, -0.0);
    expect_well_formed_result(zeros, d, before);
    for (std::size_t p = 0; p < zeros.size(); ++p) {
        EXPECT_EQ(bits(zeros.values->data()[p]), bits(-0.0));
    }
    const double payload_nan = std::bit_cast<double>(0x7ff800000000beefULL);
    const Store nans = reset(d, payload_nan);
    for (std::size_t p = 0; p < nans.size(); ++p) {
        EXPECT_EQ(bits(nans.values->data()[p]), bits(payload_nan));
    }

    const Store empty = make_store({});
    EXPECT_EQ(scalar(empty, 1.0, Op::add).values->size(), 0u);
    EXPECT_EQ(reset(empty, 1.0).values->size(), 0u);
}

TEST(Ops, SumAndProductFoldInPositionOrder)
{
    const Store empty = make_store({});
    EXPECT_EQ(bits(sum(empty)), 0x8000000000000000ULL);
    EXPECT_EQ(bits(product(empty)), bits(1.0));
    EXPECT_EQ(bits(sum(make_store({{"a", 0.0}}))), bits(0.0));
    EXPECT_EQ(bits(sum(make_store({{"a", -0.0}}))), bits(-0.0));

    // Insertion order is position order for a builder.
    EXPECT_EQ(sum(make_store({{"a", 1e16}, {"b", 1.0}, {"c", -1e16}})), 0.0);
    EXPECT_EQ(sum(make_store({{"a", 1e16}, {"b", -1e16}, {"c", 1.0}})), 1.0);
    EXPECT_EQ(product(make_store({{"a", 1e300}, {"b", 1e300}, {"c", 1e-300}})), inf);
    EXPECT_EQ(product(make_store({{"a", 1e300}, {"b", 1e-300}, {"c", 1e300}})), 1e300);

    // Long enough that a vectorised or pairwise sum would differ: 1e16 first
    // absorbs every following 1.0 under a plain left fold.
    std::vector<std::pair<std::string, double>> absorbing = {{"big", 1e16}};
    for (int i = 0; i < 64; ++i) {
        absorbing.emplace_back(numbered("one", i), 1.0);
    }
    absorbing.emplace_back("minus", -1e16);
    EXPECT_EQ(sum(make_store(absorbing)), 0.0);

    EXPECT_TRUE(std::isnan(sum(make_store({{"a", inf}, {"b", -inf}}))));
    EXPECT_TRUE(std::isnan(product(make_store({{"a", 0.0}, {"b", inf}}))));
    EXPECT_TRUE(std::isnan(sum(make_store({{"a", 1.0}, {"b", nan}}))));
    EXPECT_EQ(product(make_store({{"a", 2.0}, {"b", 3.0}, {"c", 4.0}})), 24.0);
}

TEST(Ops, BrokenStoresFaultInsteadOfReadingOutOfBounds)
{
    // A store whose values are shorter than its key index (never made by the
    // store layer itself).
    const Store receiver = make_store({{"a", 1.0}, {"b", 2.0}});
    const Store full = make_store({{"b", 1.0}, {"a", 2.0}, {"c", 3.0}});
    Store broken(full.keys.clone(), ValueVector::make_uninitialised(1));
    broken.values->data()[0] = 0.0;
    try {
        (void)aligned(receiver, broken, 0.0, Op::add);
        FAIL() << "no fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message, "index out of bounds: the len is 1 but the index is 1");
    }
    EXPECT_THROW((void)aligned(broken, receiver, 0.0, Op::add), Fault);
}

}  // namespace
}  // namespace corvane::store
