// libFuzzer target over the store layer alone.
//
// The input describes a few maps (arbitrary byte keys, values as raw binary64
// bit patterns) and a program of operations over a pool of stores: build (key
// by key or in one batch, now and then a second time from the same entries),
// aligned, scalar, reset, reductions, and any of them with the k-th
// allocation made to fail. Every store is checked against a plain model kept
// beside it, bit for bit; any NaN matches any NaN, since which NaN payload an
// operation keeps is the processor's business. A failed allocation must throw
// bad_alloc, leave no block behind and change nothing; afterwards the program
// goes on.
//
// The model is kept cheap, since it runs on every input: the keys of a built
// map, their lookup table and the store position of each are made once and
// shared by every store derived from that map (they share its key index), and
// a store's model is then one vector of values by model slot.
#include "store/injection/fault_injection.hpp"
#include "store/ops.hpp"
#include "store/store.hpp"

#include "copy_then_update.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using corvane::store::Op;
using corvane::store::Path;
using corvane::store::Store;

constexpr std::size_t max_pool = 12;
constexpr std::size_t max_entries = 200;

[[noreturn]] void mismatch(const char* what, std::string_view detail = {})
{
    std::fprintf(stderr, "store_fuzz: %s %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

void check(bool condition, const char* what, std::string_view detail = {})
{
    if (!condition) {
        mismatch(what, detail);
    }
}

bool same_number(double actual, double expected)
{
    if (std::isnan(expected)) {
        return std::isnan(actual);
    }
    return std::bit_cast<std::uint64_t>(actual) == std::bit_cast<std::uint64_t>(expected);
}

double apply(Op op, double a, double b)
{
    switch (op) {
    case Op::add:
        return a + b;
    case Op::subtract:
        return a - b;
    case Op::multiply:
        return a * b;
    case Op::divide:
        return a / b;
    }
    std::abort();
}

// The keys of one built map. Slot s is the s-th distinct key in the order
// first met; `sorted` finds a key's slot; `slot_at[p]` is the slot of the key
// the store holds at position p, read from the store once and checked then.
struct Family {
    std::vector<std::string> keys;
    std::vector<std::pair<std::string_view, std::size_t>> sorted;
    std::vector<std::size_t> slot_at;

    [[nodiscard]] std::size_t find(std::string_view key) const
    {
        auto it = std::lower_bound(sorted.begin(), sorted.end(), key,
                                   [](const auto& entry, std::string_view k) { return entry.first < k; });
        return it != sorted.end() && it->first == key ? it->second : missing;
    }

    static constexpr std::size_t missing = static_cast<std::size_t>(-1);
};

struct Entry {
    Store store;
    std::shared_ptr<const Family> family;
    std::vector<double> values;  // by model slot
};

// The store holds the values the model holds, position by position.
void check_values(const Entry& entry)
{
    const Store& store = entry.store;
    const std::size_t n = entry.family->keys.size();
    check(store.size() == n, "size differs from the model");
    check(store.values->size() == n, "value vector length differs from the key count");
    const double* values = store.values->data();
    for (std::size_t p = 0; p < n; ++p) {
        const std::size_t slot = entry.family->slot_at[p];
        check(same_number(values[p], entry.values[slot]), "value differs", entry.family->keys[slot]);
    }
}

// Runs `attempt` with the k-th allocation failing (k = 0: no injection).
// Returns false when the injected failure fired; then nothing may be left over.
template <class Attempt>
bool with_failure(long k, Attempt&& attempt)
{
    if (k == 0) {
        attempt();
        return true;
    }
    const long live = corvane::store::live_allocations();
    corvane::store::fail_allocation_after(k);
    try {
        attempt();
    } catch (const std::bad_alloc&) {
        corvane::store::fail_allocation_after(0);
        check(corvane::store::live_allocations() == live, "blocks leaked after a failed allocation");
        return false;
    }
    corvane::store::fail_allocation_after(0);
    return true;
}

double consume_double(FuzzedDataProvider& input)
{
    return std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>());
}

using Pairs = std::vector<std::pair<std::string, double>>;

// The model of a map built from `pairs`: a repeated key takes the later value.
std::pair<std::shared_ptr<Family>, std::vector<double>> model_of(const Pairs& pairs)
{
    auto family = std::make_shared<Family>();
    std::vector<double> values;
    values.reserve(pairs.size());
    family->keys.reserve(pairs.size());
    auto& sorted = family->sorted;
    sorted.reserve(pairs.size());
    for (const auto& [key, value] : pairs) {
        auto it = std::lower_bound(sorted.begin(), sorted.end(), std::string_view(key),
                                   [](const auto& entry, std::string_view k) { return entry.first < k; });
        if (it != sorted.end() && it->first == key) {
            values[it->second] = value;
            continue;
        }
        sorted.insert(it, {key, family->keys.size()});
        family->keys.push_back(key);
        values.push_back(value);
    }
    // The views above point into `pairs`; point them at the family's own keys.
    for (auto& [view, slot] : sorted) {
        view = family->keys[slot];
    }
    return {std::move(family), std::move(values)};
}

// Walks a freshly built store: every position holds a model key, no key
// twice, and a lookup finds each key where the walk put it. Fills slot_at.
void map_positions(const Store& store, Family& family)
{
    const std::size_t n = family.keys.size();
    check(store.size() == n, "size differs from the model");
    std::vector<bool> seen(n, false);
    family.slot_at.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        const std::string_view key = store.keys->key(p);
        const std::size_t slot = family.find(key);
        check(slot != Family::missing, "key not in the model", key);
        check(!seen[slot], "key at two positions", key);
        seen[slot] = true;
        family.slot_at[p] = slot;
        auto found = store.keys->find(key);
        check(found.has_value() && *found == p, "lookup disagrees with the walk", key);
    }
}

Pairs consume_pairs(FuzzedDataProvider& input)
{
    const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, max_entries);
    Pairs pairs;
    pairs.reserve(std::min(count, input.remaining_bytes()));
    for (std::size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
        // A small alphabet of short keys now and then, so that keys repeat.
        std::string key = input.ConsumeBool()
                              ? std::string(1, static_cast<char>('a' + input.ConsumeIntegralInRange(0, 3)))
                              : input.ConsumeRandomLengthString(40);
        pairs.emplace_back(std::move(key), consume_double(input));
    }
    return pairs;
}

// Builds a store from `pairs`, key by key or in one batch; false when the
// injected failure fired.
bool build_store(FuzzedDataProvider& input, const Pairs& pairs, long k, Store& made)
{
    std::size_t key_bytes = 0;
    for (const auto& pair : pairs) {
        key_bytes += pair.first.size();
    }
    // A wrong size hint must only cost growth, never correctness.
    const std::size_t hint = input.ConsumeBool() ? pairs.size() : input.ConsumeIntegralInRange<std::size_t>(0, 8);
    const std::size_t bytes_hint = input.ConsumeBool() ? key_bytes : 0;
    const bool batch = input.ConsumeBool();
    return with_failure(k, [&] {
        corvane::store::StoreBuilder builder(hint, bytes_hint);
        if (batch) {
            std::vector<corvane::store::StoreBuilder::Entry> entries;
            entries.reserve(pairs.size());
            for (const auto& [key, value] : pairs) {
                entries.push_back({key, value});
            }
            builder.put_all(entries.data(), entries.size());
        } else {
            for (const auto& [key, value] : pairs) {
                builder.put(key, value);
            }
        }
        made = std::move(builder).finish();
    });
}

void build(FuzzedDataProvider& input, std::vector<Entry>& pool, long k)
{
    const Pairs pairs = consume_pairs(input);
    // Twice from the same entries, now and then: equal but distinct indexes.
    const int copies = input.ConsumeIntegralInRange(0, 3) == 0 ? 2 : 1;
    for (int copy = 0; copy < copies && pool.size() < max_pool; ++copy) {
        Store made;
        if (!build_store(input, pairs, k, made)) {
            return;
        }
        auto [own, values] = model_of(pairs);
        map_positions(made, *own);
        // A key the model lacks is not found.
        const std::string probe = input.ConsumeRandomLengthString(12);
        check(made.keys->find(probe).has_value() == (own->find(probe) != Family::missing), "lookup of a probe", probe);
        Entry entry{std::move(made), std::move(own), std::move(values)};
        check_values(entry);
        pool.push_back(std::move(entry));
    }
}

// What the path chooser decided must agree with the two models.
void check_path(const Entry& receiver, const Entry& other)
{
    const Path path = corvane::store::choose_path(receiver.store, other.store);
    const bool identical = same_block(receiver.store.keys, other.store.keys);
    check((path == Path::identical) == identical, "identical path for distinct indexes or the reverse");
    if (identical) {
        return;
    }
    bool equal = receiver.store.size() == other.store.size();
    for (std::size_t p = 0; equal && p < receiver.store.size(); ++p) {
        equal = receiver.family->keys[receiver.family->slot_at[p]] == other.family->keys[other.family->slot_at[p]];
    }
    check((path == Path::equal) == equal, "equal path chosen wrongly");
}

void run(FuzzedDataProvider& input)
{
    std::vector<Entry> pool;
    pool.reserve(max_pool);
    while (input.remaining_bytes() > 0) {
        const int action = input.ConsumeIntegralInRange(0, 5);
        // Mostly no injection; otherwise one of the first few allocations fails.
        const long k = input.ConsumeIntegralInRange(0, 7) < 6 ? 0 : input.ConsumeIntegralInRange(1, 6);
        if (action == 0 || pool.empty()) {
            if (pool.size() < max_pool) {
                build(input, pool, k);
            }
            continue;
        }
        Entry& receiver = pool[input.ConsumeIntegralInRange<std::size_t>(0, pool.size() - 1)];
        const Family& family = *receiver.family;
        const std::size_t n = family.keys.size();
        const Op op = static_cast<Op>(input.ConsumeIntegralInRange(0, 3));
        Store result;
        std::vector<double> expected(n);
        bool done = false;
        switch (action) {
        case 1:
        case 2: {
            const Entry& other = pool[input.ConsumeIntegralInRange<std::size_t>(0, pool.size() - 1)];
            const double fill = consume_double(input);
            check_path(receiver, other);
            done = with_failure(k, [&] {
                result = action == 1 ? corvane::store::aligned(receiver.store, other.store, fill, op)
                                     : corvane::store::aligned_copy_then_update(receiver.store, other.store, fill, op);
            });
            const bool same_family = other.family == receiver.family;
            for (std::size_t slot = 0; slot < n; ++slot) {
                const std::size_t there = same_family ? slot : other.family->find(family.keys[slot]);
                expected[slot] = apply(op, receiver.values[slot],
                                       there != Family::missing ? other.values[there] : fill);
            }
            check_values(other);
            break;
        }
        case 3: {
            const double s = consume_double(input);
            done = with_failure(k, [&] { result = corvane::store::scalar(receiver.store, s, op); });
            for (std::size_t slot = 0; slot < n; ++slot) {
                expected[slot] = apply(op, receiver.values[slot], s);
            }
            break;
        }
        case 4: {
            const double s = consume_double(input);
            done = with_failure(k, [&] { result = corvane::store::reset(receiver.store, s); });
            std::fill(expected.begin(), expected.end(), s);
            break;
        }
        case 5: {
            // Folds in position order, the order the store promises to use.
            double total = -0.0, product = 1.0;
            for (std::size_t p = 0; p < n; ++p) {
                const double value = receiver.values[family.slot_at[p]];
                total += value;
                product *= value;
            }
            check(same_number(corvane::store::sum(receiver.store), total), "sum differs");
            check(same_number(corvane::store::product(receiver.store), product), "product differs");
            continue;
        }
        }
        check_values(receiver);
        if (!done) {
            continue;
        }
        check(same_block(result.keys, receiver.store.keys), "result does not share the receiver's key index");
        Entry made{std::move(result), receiver.family, std::move(expected)};
        check_values(made);
        if (pool.size() < max_pool) {
            pool.push_back(std::move(made));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const long live = corvane::store::live_allocations();
    {
        FuzzedDataProvider input(data, size);
        run(input);
    }
    check(corvane::store::live_allocations() == live, "blocks leaked by a run");
    return 0;
}
