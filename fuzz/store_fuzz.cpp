// libFuzzer target over the store layer alone.
//
// The input describes a few maps (arbitrary byte keys, values as raw binary64
// bit patterns) and a program of operations over a pool of stores: build,
// aligned, scalar, reset, reductions, and any of them with the k-th
// allocation made to fail. Every store is checked against a plain model kept
// beside it (a std::unordered_map and scalar arithmetic), bit for bit; any NaN
// matches any NaN, since which NaN payload an operation keeps is the
// processor's business. A failed allocation must throw bad_alloc, leave no
// block behind and change nothing; afterwards the program goes on.
#include "store/memory.hpp"
#include "store/ops.hpp"
#include "store/store.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using corvane::store::Op;
using corvane::store::Store;
using Model = std::unordered_map<std::string, double>;

constexpr std::size_t max_pool = 12;
constexpr std::size_t max_entries = 200;

[[noreturn]] void mismatch(const char* what, const std::string& detail = {})
{
    std::fprintf(stderr, "store_fuzz: %s %s\n", what, detail.c_str());
    std::abort();
}

void check(bool condition, const char* what, const std::string& detail = {})
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

// The store holds exactly the model's keys, each at one position of its own,
// with the model's value; lookups find every key where the walk put it.
void check_store(const Store& store, const Model& model)
{
    const std::size_t n = store.size();
    check(n == model.size(), "size differs from the model");
    check(store.values->size() == n, "value vector length differs from the key count");
    std::unordered_set<std::string> seen;
    for (std::size_t p = 0; p < n; ++p) {
        const std::string key(store.keys->key(p));
        check(seen.insert(key).second, "key at two positions", key);
        auto expected = model.find(key);
        check(expected != model.end(), "key not in the model", key);
        check(same_number(store.values->data()[p], expected->second), "value differs", key);
        auto found = store.keys->find(key);
        check(found.has_value() && *found == p, "lookup disagrees with the walk", key);
    }
}

struct Entry {
    Store store;
    Model model;
};

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

void build(FuzzedDataProvider& input, std::vector<Entry>& pool, long k)
{
    const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, max_entries);
    std::vector<std::pair<std::string, double>> entries;
    std::size_t key_bytes = 0;
    for (std::size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
        // A small alphabet of short keys now and then, so that keys repeat.
        std::string key = input.ConsumeBool()
                              ? std::string(1, static_cast<char>('a' + input.ConsumeIntegralInRange(0, 3)))
                              : input.ConsumeRandomLengthString(40);
        key_bytes += key.size();
        entries.emplace_back(std::move(key), consume_double(input));
    }
    // A wrong size hint must only cost growth, never correctness.
    const std::size_t hint = input.ConsumeBool() ? entries.size() : input.ConsumeIntegralInRange<std::size_t>(0, 8);
    const std::size_t bytes_hint = input.ConsumeBool() ? key_bytes : 0;
    Model model;
    Store made;
    const bool built = with_failure(k, [&] {
        corvane::store::StoreBuilder builder(hint, bytes_hint);
        for (const auto& [key, value] : entries) {
            builder.put(key, value);
        }
        made = std::move(builder).finish();
    });
    if (!built) {
        return;
    }
    for (const auto& [key, value] : entries) {
        model[key] = value;  // a repeated key takes the later value
    }
    check_store(made, model);
    pool.push_back({std::move(made), std::move(model)});
}

void run(FuzzedDataProvider& input)
{
    std::vector<Entry> pool;
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
        const Op op = static_cast<Op>(input.ConsumeIntegralInRange(0, 3));
        const Model receiver_before = receiver.model;
        Store result;
        Model expected;
        bool done = false;
        switch (action) {
        case 1:
        case 2: {
            Entry& other = pool[input.ConsumeIntegralInRange<std::size_t>(0, pool.size() - 1)];
            const double fill = consume_double(input);
            done = with_failure(k, [&] {
                result = action == 1 ? corvane::store::aligned(receiver.store, other.store, fill, op)
                                     : corvane::store::aligned_copy_then_update(receiver.store, other.store, fill, op);
            });
            for (const auto& [key, value] : receiver.model) {
                auto found = other.model.find(key);
                expected[key] = apply(op, value, found != other.model.end() ? found->second : fill);
            }
            check_store(other.store, other.model);
            break;
        }
        case 3: {
            const double s = consume_double(input);
            done = with_failure(k, [&] { result = corvane::store::scalar(receiver.store, s, op); });
            for (const auto& [key, value] : receiver.model) {
                expected[key] = apply(op, value, s);
            }
            break;
        }
        case 4: {
            const double s = consume_double(input);
            done = with_failure(k, [&] { result = corvane::store::reset(receiver.store, s); });
            for (const auto& [key, value] : receiver.model) {
                expected[key] = s;
            }
            break;
        }
        case 5: {
            // Folds in position order, the order the store promises to use.
            double total = -0.0, product = 1.0;
            for (std::size_t p = 0; p < receiver.store.size(); ++p) {
                const double value = receiver.model.at(std::string(receiver.store.keys->key(p)));
                total += value;
                product *= value;
            }
            check(same_number(corvane::store::sum(receiver.store), total), "sum differs");
            check(same_number(corvane::store::product(receiver.store), product), "product differs");
            continue;
        }
        }
        check_store(receiver.store, receiver_before);
        if (!done) {
            continue;
        }
        check_store(result, expected);
        check(same_block(result.keys, receiver.store.keys), "result does not share the receiver's key index");
        if (pool.size() < max_pool) {
            pool.push_back({std::move(result), std::move(expected)});
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
