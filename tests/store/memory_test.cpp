// The allocator's contract (bad_alloc, never null; blocks observed and reused),
// every operation under injected allocation failure, and the fault type.

#include "store/fault.hpp"
#include "store/injection/fault_injection.hpp"
#include "store/memory.hpp"
#include "store/ops.hpp"
#include "store/reuse_pool.hpp"
#include "store/store.hpp"

#include "copy_then_update.hpp"
#include "numbered.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace corvane::store {
namespace {

TEST(Memory, ImpossibleRequestsThrowBadAlloc)
{
    EXPECT_THROW((void)allocate(std::numeric_limits<std::size_t>::max(), 8), std::bad_alloc);
    EXPECT_THROW((void)allocate(std::numeric_limits<std::size_t>::max() / 2 + 1, 64), std::bad_alloc);
    EXPECT_THROW((void)array_bytes(std::numeric_limits<std::size_t>::max() / 4, 8), std::bad_alloc);
    EXPECT_EQ(array_bytes(3, 8), 24u);
    // A vector whose byte size overflows is refused before anything is
    // allocated.
    EXPECT_THROW((void)ValueVector::make_uninitialised(std::numeric_limits<std::size_t>::max() / 4), std::bad_alloc);

    void* empty = allocate(0, 8);
    EXPECT_NE(empty, nullptr);
    deallocate(empty, 0, 8);

    void* aligned = allocate(100, 256);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned) % 256, 0u);
    deallocate(aligned, 100, 256);
}

struct Observed {
    static inline std::vector<std::pair<const void*, std::size_t>> allocated;
    static inline std::vector<std::pair<const void*, std::size_t>> released;
};

TEST(Memory, ObserverSeesEveryBlockWithItsSize)
{
    Observed::allocated.clear();
    Observed::released.clear();
    set_allocation_observer({[](const void* p, std::size_t bytes) { Observed::allocated.emplace_back(p, bytes); },
                             [](const void* p, std::size_t bytes) { Observed::released.emplace_back(p, bytes); }});
    void* small = allocate(24, 8);
    void* large = allocate(1 << 20, 64);
    deallocate(small, 24, 8);
    deallocate(large, 1 << 20, 64);
    set_allocation_observer({});
    void* unobserved = allocate(1 << 20, 64);
    deallocate(unobserved, 1 << 20, 64);

    using Seen = std::vector<std::pair<const void*, std::size_t>>;
    EXPECT_EQ(Observed::allocated, (Seen{{small, 24}, {large, 1 << 20}}));
    EXPECT_EQ(Observed::released, (Seen{{small, 24}, {large, 1 << 20}}));
}

// A block dropped is handed out again for the next request of its size and
// alignment, and only for that; what the pool keeps stays within what was in
// use, and goes back on request.
TEST(Memory, DroppedBlocksAreReusedWithinWhatWasInUse)
{
    reuse::release_all();
    const std::size_t bytes = 3 * 4096 + 8;
    std::vector<void*> blocks;
    for (int i = 0; i < 8; ++i) {
        blocks.push_back(allocate(bytes, 64));
    }
    const reuse::Usage busy = reuse::usage();
    EXPECT_GE(busy.in_use, 8 * bytes);
    for (void* block : blocks) {
        deallocate(block, bytes, 64);
    }
    const reuse::Usage idle = reuse::usage();
    EXPECT_EQ(idle.kept, 8 * bytes);
    EXPECT_LE(idle.in_use + idle.kept, idle.bound);

    void* other_alignment = allocate(bytes, 8);
    void* again = allocate(bytes, 64);
    EXPECT_NE(std::find(blocks.begin(), blocks.end(), again), blocks.end());
    EXPECT_EQ(std::find(blocks.begin(), blocks.end(), other_alignment), blocks.end());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(again) % 64, 0u);
    static_cast<char*>(again)[bytes - 1] = 1;  // the whole block is usable again
    deallocate(again, bytes, 64);
    deallocate(other_alignment, bytes, 8);

    reuse::release_all();
    EXPECT_EQ(reuse::usage().kept, 0u);
}

// A program whose working set shrinks gets the surplus back after two epochs
// of smaller work, however much it once held.
TEST(Memory, KeptBlocksGoBackWhenTheWorkingSetShrinks)
{
    reuse::release_all();
    const std::size_t big = std::size_t{4} << 20;
    std::vector<void*> blocks;
    for (int i = 0; i < 16; ++i) {
        blocks.push_back(allocate(big, 64));
    }
    for (void* block : blocks) {
        deallocate(block, big, 64);
    }
    EXPECT_EQ(reuse::usage().kept, 16 * big);
    const std::size_t small = 4096;
    for (int i = 0; i < 3 * (256 << 20) / 4096; ++i) {
        deallocate(allocate(small, 8), small, 8);
    }
    EXPECT_LE(reuse::usage().kept, 2 * small);
    reuse::release_all();
}

// Runs `operation` with the 1st, 2nd, ... allocation failing until it
// succeeds. Each failure must be a clean bad_alloc that leaves no block
// behind; returns how many allocations the operation needs.
long allocations_needed(const std::function<void()>& operation)
{
    for (long k = 1; k < 10000; ++k) {
        const long live_before = live_allocations();
        fail_allocation_after(k);
        bool failed = false;
        try {
            operation();
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        fail_allocation_after(0);
        EXPECT_EQ(live_allocations(), live_before) << "leak after failing allocation " << k;
        if (!failed) {
            return k - 1;
        }
    }
    ADD_FAILURE() << "never succeeded";
    return -1;
}

TEST(Memory, EveryAllocationFailureUnwindsCleanly)
{
    const long building = allocations_needed([] {
        StoreBuilder builder(2);  // too small: the table, arena and values grow
        for (int i = 0; i < 40; ++i) {
            builder.put(numbered("key number ", i), i);
        }
        builder.put("key number 3", -1.0);
        const Store store = std::move(builder).finish();
        ASSERT_EQ(store.size(), 40u);
    });
    EXPECT_GT(building, 6);

    StoreBuilder builder(3);
    builder.put("a", 1.0);
    builder.put("b", 2.0);
    builder.put("c", 3.0);
    const Store receiver = std::move(builder).finish();
    StoreBuilder other_builder(2);
    other_builder.put("c", 10.0);
    other_builder.put("a", 20.0);
    const Store other = std::move(other_builder).finish();
    const long live_with_inputs = live_allocations();

    for (Op op : {Op::add, Op::divide}) {
        EXPECT_EQ(allocations_needed([&] { (void)aligned(receiver, other, 0.0, op); }), 2);
        EXPECT_EQ(allocations_needed([&] { (void)aligned(receiver, receiver, 0.0, op); }), 2);
        EXPECT_EQ(allocations_needed([&] { (void)aligned_copy_then_update(receiver, other, 0.0, op); }), 2);
        EXPECT_EQ(allocations_needed([&] { (void)scalar(receiver, 2.0, op); }), 2);
    }
    EXPECT_EQ(allocations_needed([&] { (void)reset(receiver, 2.0); }), 2);
    EXPECT_EQ(live_allocations(), live_with_inputs);

    // A failed put leaves the builder usable and unchanged.
    StoreBuilder resumable(1);
    resumable.put("first", 1.0);
    fail_allocation_after(1);
    EXPECT_THROW(resumable.put("second", 2.0), std::bad_alloc);
    resumable.put("second", 2.0);
    const Store finished = std::move(resumable).finish();
    EXPECT_EQ(finished.size(), 2u);
    EXPECT_EQ(finished.keys->find("second"), 1u);
    EXPECT_EQ(finished.values->data()[1], 2.0);
}

TEST(Fault, WritesOneDiagnosticThenThrows)
{
    testing::internal::CaptureStderr();
    unsigned line = 0;
    try {
        line = std::source_location::current().line() + 1;
        fault("index out of bounds: the len is 3 but the index is 7");
    } catch (const Fault& f) {
        EXPECT_EQ(f.message, "index out of bounds: the len is 3 but the index is 7");
        EXPECT_STREQ(f.what(), f.message.c_str());
    }
    const std::string diagnostic = testing::internal::GetCapturedStderr();
    EXPECT_EQ(diagnostic.rfind("thread '", 0), 0u) << diagnostic;
    EXPECT_NE(diagnostic.find(numbered("faulted at tests/store/memory_test.cpp:", line) + ":"), std::string::npos)
        << diagnostic;
    EXPECT_TRUE(diagnostic.ends_with(":\nindex out of bounds: the len is 3 but the index is 7\n")) << diagnostic;

    // A resumed fault is only a value: constructing one writes nothing.
    testing::internal::CaptureStderr();
    const Fault resumed("again");
    EXPECT_EQ(resumed.message, "again");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace corvane::store
