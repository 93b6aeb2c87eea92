// Shared handles, value vectors with copy-on-write, and the store built from
// them.

#include "store/injection/fault_injection.hpp"
#include "store/shared.hpp"
#include "store/store.hpp"
#include "store/value_vector.hpp"

#include "copy_then_update.hpp"
#include "numbered.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>

namespace corvane::store {
namespace {

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

struct Counted {
    explicit Counted(int* destroyed) : destroyed(destroyed) {}
    ~Counted() { ++*destroyed; }
    int* destroyed;
};

TEST(Shared, LastHolderDestroysTheContent)
{
    int destroyed = 0;
    {
        Shared<Counted> first = Shared<Counted>::make(&destroyed);
        EXPECT_EQ(first.use_count(), 1u);
        Shared<Counted> second = first.clone();
        EXPECT_TRUE(same_block(first, second));
        EXPECT_EQ(first.use_count(), 2u);

        Shared<Counted> moved = std::move(second);
        EXPECT_FALSE(second);
        EXPECT_EQ(moved.use_count(), 2u) << "a move changes no count";

        first.release();
        EXPECT_FALSE(first);
        EXPECT_EQ(destroyed, 0);
        EXPECT_EQ(moved.use_count(), 1u);
        first.release();  // releasing an empty handle does nothing
    }
    EXPECT_EQ(destroyed, 1);
    static_assert(sizeof(Shared<Counted>) == sizeof(void*));
}

TEST(Shared, MoveAssignmentReleasesTheOldBlock)
{
    int destroyed_a = 0, destroyed_b = 0;
    Shared<Counted> a = Shared<Counted>::make(&destroyed_a);
    Shared<Counted> b = Shared<Counted>::make(&destroyed_b);
    a = std::move(b);
    EXPECT_EQ(destroyed_a, 1);
    EXPECT_EQ(destroyed_b, 0);
    auto& alias = a;
    a = std::move(alias);  // self-move keeps the block
    EXPECT_EQ(destroyed_b, 0);
    EXPECT_EQ(a.use_count(), 1u);
}

TEST(ValueVector, MakeUniqueCopiesSharedVectorsBitForBit)
{
    const double quiet_nan_with_payload = std::bit_cast<double>(0x7ff8000000abcdefULL);
    const double values[] = {-0.0, quiet_nan_with_payload, std::numeric_limits<double>::infinity(), 1e-310, 3.5};
    Shared<ValueVector> original = ValueVector::make_uninitialised(5);
    std::copy(std::begin(values), std::end(values), original->data());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(original->data()) % ValueVector::alignment, 0u);

    Shared<ValueVector> handle = original.clone();
    make_unique(handle);
    EXPECT_FALSE(same_block(handle, original));
    EXPECT_EQ(handle.use_count(), 1u);
    EXPECT_EQ(original.use_count(), 1u) << "the old hold was released";
    ASSERT_EQ(handle->size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(bits(handle->data()[i]), bits(values[i])) << i;
    }
    handle->data()[0] = 7.0;
    EXPECT_EQ(bits(original->data()[0]), bits(-0.0)) << "writes go to the copy";
}

TEST(ValueVector, MakeUniqueWritesInPlaceWhenAlone)
{
    Shared<ValueVector> handle = ValueVector::make_uninitialised(3);
    const double* before = handle->data();
    const long allocations = allocations_made();
    make_unique(handle);
    EXPECT_EQ(handle->data(), before);
    EXPECT_EQ(handle.use_count(), 1u);
    EXPECT_EQ(allocations_made(), allocations);

    // An empty vector is copied as an empty vector.
    Shared<ValueVector> empty = ValueVector::make_uninitialised(0);
    Shared<ValueVector> other = empty.clone();
    make_unique(other);
    EXPECT_FALSE(same_block(empty, other));
    EXPECT_EQ(other->size(), 0u);
}

TEST(Store, BuilderKeepsFirstPositionAndLaterValue)
{
    StoreBuilder builder(4);
    builder.put("x", 1.0);
    builder.put("y", 2.0);
    builder.put("x", 3.0);
    Store store = std::move(builder).finish();
    ASSERT_EQ(store.size(), 2u);
    ASSERT_EQ(store.values->size(), 2u) << "capacity trimmed to the length";
    EXPECT_EQ(store.keys->find("x"), 0u);
    EXPECT_EQ(store.values->data()[0], 3.0);
    EXPECT_EQ(store.values->data()[1], 2.0);
}

TEST(Store, BuilderGrowsPastTheExpectedCount)
{
    StoreBuilder builder(1);
    for (int i = 0; i < 100; ++i) {
        builder.put(numbered("k", i), i);
    }
    Store store = std::move(builder).finish();
    ASSERT_EQ(store.values->size(), 100u);
    for (int i = 0; i < 100; ++i) {
        const auto p = store.keys->find(numbered("k", i));
        ASSERT_TRUE(p.has_value());
        EXPECT_EQ(store.values->data()[*p], i);
    }
}

TEST(Store, CloneMoveAndRelease)
{
    StoreBuilder builder(0);
    Store store = std::move(builder).finish();
    EXPECT_EQ(store.size(), 0u);
    EXPECT_EQ(store.values->size(), 0u);

    Store copy = store.clone();
    EXPECT_TRUE(same_block(copy.keys, store.keys));
    EXPECT_TRUE(same_block(copy.values, store.values));
    EXPECT_EQ(store.keys.use_count(), 2u);

    Store moved = std::move(copy);
    EXPECT_EQ(store.keys.use_count(), 2u);
    EXPECT_EQ(store.values.use_count(), 2u);

    moved = Store();  // assigning over a store lets go of both halves
    EXPECT_FALSE(moved.keys);
    EXPECT_FALSE(moved.values);
    EXPECT_EQ(store.keys.use_count(), 1u);
    EXPECT_EQ(store.values.use_count(), 1u);
}

}  // namespace
}  // namespace corvane::store
