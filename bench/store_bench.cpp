// What two internal choices of the store layer are worth, in ns per element:
//  - the fused aligned pass (write the result from both inputs) against
//    copy-then-update (copy the receiver's values, then update the copy);
//  - the packed kernel against the same loop compiled without vectorisation.
// Prints one JSON object. Usage: store_bench [reps] [n ...]
#include "store/kernels.hpp"
#include "store/ops.hpp"
#include "store/store.hpp"
#include "timing.hpp"

#include "copy_then_update.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace corvane::store;

volatile double sink;

using corvane::bench::median_ns;

// The same loop as combine<Op::add>, kept scalar.
__attribute__((noinline, optimize("no-tree-vectorize"))) void add_scalar_loop(const double* a, const double* b,
                                                                              double* out, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = a[i] + b[i];
    }
}

__attribute__((noinline)) void add_packed(const double* a, const double* b, double* out, std::size_t n)
{
    combine<Op::add>(a, b, out, n);
}

Store make_store(std::size_t n, unsigned seed)
{
    StoreBuilder builder(n);
    std::srand(seed);
    std::string key(11, 'a');
    for (std::size_t i = 0; i < n; ++i) {
        for (char& c : key) {
            c = static_cast<char>('a' + std::rand() % 26);
        }
        builder.put(key, static_cast<double>(std::rand()) / RAND_MAX);
    }
    return std::move(builder).finish();
}

}  // namespace

int main(int argc, char** argv)
{
    const int reps = argc > 1 ? std::atoi(argv[1]) : 9;
    std::vector<std::size_t> sizes;
    for (int i = 2; i < argc; ++i) {
        sizes.push_back(static_cast<std::size_t>(std::atoll(argv[i])));
    }
    if (sizes.empty()) {
        sizes = {10'000, 1'000'000};
    }
    std::printf("{");
    for (std::size_t s = 0; s < sizes.size(); ++s) {
        const std::size_t n = sizes[s];
        const Store a = make_store(n, 1);
        const Store derived = scalar(a, 2.0, Op::multiply);
        const Store separate = make_store(n, 1);  // same keys, its own index
        const auto time_op = [&](auto operation, const Store& other) {
            return median_ns(n, reps, [&] {
                Store result = operation(a, other, 0.0, Op::add);
                sink = result.values->data()[n / 2];
            });
        };
        const double fused = time_op(aligned, derived);
        const double copy_update = time_op(aligned_copy_then_update, derived);
        const double fused_keyed = time_op(aligned, separate);
        const double copy_update_keyed = time_op(aligned_copy_then_update, separate);
        std::vector<double> out(n);
        const double* pa = a.values->data();
        const double* pb = derived.values->data();
        const double packed = median_ns(n, reps, [&] {
            add_packed(pa, pb, out.data(), n);
            sink = out[n / 2];
        });
        const double plain = median_ns(n, reps, [&] {
            add_scalar_loop(pa, pb, out.data(), n);
            sink = out[n / 2];
        });
        std::printf(
            "%s\"%zu\": {\"aligned_fused\": %.4f, \"aligned_copy_then_update\": %.4f, "
            "\"aligned_fused_equal_index\": %.4f, \"aligned_copy_then_update_equal_index\": %.4f, "
            "\"kernel_packed\": %.4f, \"kernel_scalar\": %.4f}",
            s == 0 ? "" : ", ", n, fused, copy_update, fused_keyed, copy_update_keyed, packed, plain);
    }
    std::printf("}\n");
    return 0;
}
