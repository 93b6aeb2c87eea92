// The key index: positions in insertion order, lookups by exact bytes,
// growth past the expected size, layout equality and the batched lookup.

#include "store/fault.hpp"
#include "store/key_index.hpp"

#include "numbered.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::store {
namespace {

Shared<KeyIndex> index_of(const std::vector<std::string>& keys, std::size_t expected)
{
    KeyIndexBuilder builder(expected);
    for (const std::string& key : keys) {
        builder.insert(key);
    }
    return std::move(builder).finish();
}

std::vector<std::string> numbered_keys(std::size_t n, const std::string& prefix = "key-")
{
    std::vector<std::string> keys;
    keys.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        keys.push_back(numbered(prefix, static_cast<long>(i)));
    }
    return keys;
}

TEST(KeyIndex, PositionsFollowInsertionOfDistinctKeys)
{
    KeyIndexBuilder builder(4);
    EXPECT_EQ(builder.insert("b"), 0u);
    EXPECT_EQ(builder.insert("a"), 1u);
    EXPECT_EQ(builder.insert("b"), 0u);
    EXPECT_EQ(builder.size(), 2u) << "a repeated key is not new";
    EXPECT_EQ(builder.insert("c"), 2u);
    EXPECT_EQ(builder.size(), 3u) << "a new key";

    const Shared<KeyIndex> index = std::move(builder).finish();
    ASSERT_EQ(index->size(), 3u);
    EXPECT_EQ(index->key(0), "b");
    EXPECT_EQ(index->key(1), "a");
    EXPECT_EQ(index->key(2), "c");
    EXPECT_EQ(index->find("a"), 1u);
    EXPECT_EQ(index->find("c"), 2u);
    EXPECT_EQ(index->find("d"), std::nullopt);
    EXPECT_EQ(index.use_count(), 1u);
}

TEST(KeyIndex, KeysAreComparedByExactBytes)
{
    const std::string with_nul("a\0b", 3);
    const std::vector<std::string> keys = {
        "", with_nul, "a", std::string("a\0", 2), "\u00e9t\u00e9", "e\u0301t\u00e9", "\xF0\x9F\x98\x80", "A"};
    const Shared<KeyIndex> index = index_of(keys, keys.size());
    ASSERT_EQ(index->size(), keys.size());
    for (std::size_t p = 0; p < keys.size(); ++p) {
        EXPECT_EQ(index->key(p), keys[p]);
        EXPECT_EQ(index->find(keys[p]), p) << p;
    }
    // Prefixes, truncations at a NUL and other normal forms are other keys.
    EXPECT_EQ(index->find(std::string_view("a\0", 1)), 2u);
    EXPECT_EQ(index->find(std::string_view("a\0b\0", 4)), std::nullopt);
    EXPECT_EQ(index->find("ab"), std::nullopt);
    EXPECT_EQ(index->find("\u00e9t"), std::nullopt);
    EXPECT_EQ(index->find("\xF0\x9F\x98"), std::nullopt);
}

TEST(KeyIndex, EmptyIndexFindsNothing)
{
    const Shared<KeyIndex> index = index_of({}, 0);
    EXPECT_TRUE(index->empty());
    EXPECT_EQ(index->find(""), std::nullopt);
    EXPECT_EQ(index->find("x"), std::nullopt);
    EXPECT_THROW((void)index->key(0), Fault);
}

TEST(KeyIndex, ManyKeysAreAllFoundAtTheirPositions)
{
    const std::vector<std::string> keys = numbered_keys(100000);
    for (std::size_t expected : {std::size_t{100000}, std::size_t{0}, std::size_t{3}}) {
        // expected 0 and 3 force the table and the arena to grow many times.
        const Shared<KeyIndex> index = index_of(keys, expected);
        ASSERT_EQ(index->size(), keys.size());
        for (std::size_t p = 0; p < keys.size(); ++p) {
            ASSERT_EQ(index->key(p), keys[p]);
            ASSERT_EQ(index->find(keys[p]), p) << "expected " << expected;
        }
        for (std::size_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(index->find(numbered("other-", static_cast<long>(i))), std::nullopt);
        }
    }
}

TEST(KeyIndex, KnownKeyBytesSizeTheArenaExactly)
{
    KeyIndexBuilder builder(2, 5);
    builder.insert("ab");
    builder.insert("cde");
    builder.insert("f");  // past both hints: still fine
    const Shared<KeyIndex> index = std::move(builder).finish();
    EXPECT_EQ(index->key(0), "ab");
    EXPECT_EQ(index->key(1), "cde");
    EXPECT_EQ(index->key(2), "f");
    EXPECT_EQ(index->find("f"), 2u);
}

TEST(KeyIndex, EqualLayoutMeansSameKeysAtSamePositions)
{
    const std::vector<std::string> abc = {"a", "b", "c"};
    const Shared<KeyIndex> first = index_of(abc, 3);
    // Built separately (own hash state, other table size) but the same layout.
    const Shared<KeyIndex> second = index_of(abc, 50);
    EXPECT_TRUE(first->equal_layout(*second));
    EXPECT_TRUE(second->equal_layout(*first));
    EXPECT_TRUE(first->equal_layout(*first));

    EXPECT_FALSE(first->equal_layout(*index_of({"b", "a", "c"}, 3)));
    EXPECT_FALSE(first->equal_layout(*index_of({"a", "b"}, 3)));
    EXPECT_FALSE(first->equal_layout(*index_of({"a", "b", "c", "d"}, 3)));
    EXPECT_FALSE(first->equal_layout(*index_of({"a", "b", "d"}, 3)));
    // Same bytes overall, split differently between keys.
    EXPECT_FALSE(index_of({"ab", "c"}, 2)->equal_layout(*index_of({"a", "bc"}, 2)));

    EXPECT_TRUE(index_of({}, 0)->equal_layout(*index_of({}, 10)));
    EXPECT_FALSE(index_of({}, 0)->equal_layout(*index_of({""}, 1)));
    EXPECT_TRUE(index_of({""}, 1)->equal_layout(*index_of({""}, 1)));
}

TEST(KeyIndex, BatchedLookupAgreesWithFind)
{
    // Receiver keys: every third is missing from the other index, and the
    // other holds them in a different order.
    const std::vector<std::string> mine = numbered_keys(1000);
    std::vector<std::string> theirs;
    for (std::size_t i = 1000; i-- > 0;) {
        if (i % 3 != 0) {
            theirs.push_back(mine[i]);
        }
    }
    theirs.push_back("only-theirs");
    const Shared<KeyIndex> receiver = index_of(mine, mine.size());
    const Shared<KeyIndex> other = index_of(theirs, theirs.size());

    for (auto [begin, end] : {std::pair<std::size_t, std::size_t>{0, 1000}, {5, 6}, {17, 17}, {990, 1000}}) {
        std::vector<std::size_t> out(end - begin + 1, 12345);
        other->find_positions_of(*receiver, begin, end, out.data());
        for (std::size_t p = begin; p < end; ++p) {
            const std::optional<std::size_t> expected = other->find(mine[p]);
            EXPECT_EQ(out[p - begin], expected.value_or(KeyIndex::missing)) << p;
            EXPECT_EQ(expected.has_value(), p % 3 != 0);
        }
        EXPECT_EQ(out[end - begin], 12345u) << "wrote past the batch";
    }

    std::vector<std::size_t> out(3, 0);
    index_of({}, 0)->find_positions_of(*receiver, 0, 3, out.data());
    EXPECT_EQ(out, std::vector<std::size_t>(3, KeyIndex::missing));
    EXPECT_THROW(other->find_positions_of(*receiver, 999, 1001, out.data()), Fault);
}

TEST(KeyIndex, RemembersEqualityWithoutEverAcceptingUnequalIndexes)
{
    const std::vector<std::string> keys = numbered_keys(300);
    const Shared<KeyIndex> a = index_of(keys, keys.size());
    const Shared<KeyIndex> b = index_of(keys, 1);  // grown: another table, same layout
    EXPECT_NE(a->id(), b->id());
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(a->equal_layout(*b)) << round;
        EXPECT_TRUE(b->equal_layout(*a)) << round;
    }
    EXPECT_EQ(a.use_count(), 1u) << "a proof holds no block";
    EXPECT_EQ(b.use_count(), 1u);

    // Same count and same total bytes, one byte apart: whatever was proven
    // before, only the bytes decide.
    std::vector<std::string> changed = keys;
    changed[299].back() = 'x';
    const Shared<KeyIndex> c = index_of(changed, changed.size());
    for (int round = 0; round < 2; ++round) {
        EXPECT_FALSE(a->equal_layout(*c)) << round;
        EXPECT_FALSE(c->equal_layout(*b)) << round;
    }
    // A third equal index does not make the first proof forgotten on both sides.
    const Shared<KeyIndex> d = index_of(keys, keys.size());
    EXPECT_TRUE(a->equal_layout(*d));
    EXPECT_TRUE(a->equal_layout(*b));
    EXPECT_TRUE(d->equal_layout(*a));
}

TEST(KeyIndex, ProofsDieWithTheirIndexes)
{
    // An index made after another one died never inherits its proofs, even
    // when it lands at the very same address.
    const std::vector<std::string> keys = numbered_keys(50);
    std::vector<std::string> other = keys;
    other[0] = "key-x";
    const Shared<KeyIndex> a = index_of(keys, keys.size());
    std::uint64_t previous = 0;
    for (int i = 0; i < 20; ++i) {
        {
            const Shared<KeyIndex> equal = index_of(keys, keys.size());
            ASSERT_TRUE(a->equal_layout(*equal));
            EXPECT_GT(equal->id(), previous);
            previous = equal->id();
        }
        const Shared<KeyIndex> unequal = index_of(other, other.size());
        EXPECT_FALSE(a->equal_layout(*unequal)) << i;
        EXPECT_FALSE(unequal->equal_layout(*a)) << i;
        previous = unequal->id();
    }
}

TEST(KeyIndex, BatchedLookupsAgreeWithSingleOnesAtScale)
{
    // Large enough for many batches and for tags to share home slots; keys of
    // many lengths, the empty key, and keys that differ only in their last byte.
    std::vector<std::string> mine = {""};
    for (std::size_t i = 0; i < 20000; ++i) {
        mine.push_back(std::string(i % 37, 'k') + numbered("-", static_cast<long>(i)));
    }
    std::vector<std::string> theirs;
    for (std::size_t i = 0; i < mine.size(); i += 2) {
        theirs.push_back(mine[i]);
        theirs.push_back(mine[i + 1 < mine.size() ? i + 1 : 0] + "!");
    }
    const Shared<KeyIndex> receiver = index_of(mine, mine.size());
    const Shared<KeyIndex> other = index_of(theirs, 16);
    std::vector<std::size_t> out(mine.size());
    other->find_positions_of(*receiver, 0, mine.size(), out.data());
    for (std::size_t p = 0; p < mine.size(); ++p) {
        ASSERT_EQ(out[p], other->find(mine[p]).value_or(KeyIndex::missing)) << p;
        ASSERT_EQ(out[p] != KeyIndex::missing, p % 2 == 0) << p;
    }
}

}  // namespace
}  // namespace corvane::store
