// The arithmetic loops behind every operation: one binary64 operation per
// element, the receiver's value always on the left, no branch per element.
//
// The main loops work on two doubles at a time through GCC vector types, so
// they become packed SSE2 instructions (addpd, subpd, mulpd, divpd) at -O2 on
// x86-64 and on 32-bit x86 with SSE2 math, where the autovectoriser would
// leave them scalar. Vector lanes round exactly like scalar operations, so the
// results are the same bit for bit as the plain loop. Loads and stores go
// through memcpy: the data need not be aligned for correctness.
//
// `out` may be the same array as `a` (an in-place update), but must not
// otherwise overlap an input.
#pragma once

#include "store/fault.hpp"

#include <cfloat>
#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

// Excess precision (x87 arithmetic) would round twice and make results depend
// on register allocation; 32-bit builds must use -msse2 -mfpmath=sse.
#if FLT_EVAL_METHOD != 0
#error "binary64 arithmetic needs FLT_EVAL_METHOD == 0 (on 32-bit x86: -msse2 -mfpmath=sse)"
#endif

namespace corvane::store {

enum class Op { add, subtract, multiply, divide };

namespace kernels_detail {

// One SSE2 register; wider vectors would change the ABI of these helpers
// between builds with and without AVX.
inline constexpr std::size_t lanes = 2;  // the broadcasts below list two copies
using Lanes = double __attribute__((vector_size(lanes * sizeof(double))));

inline Lanes load(const double* p) noexcept
{
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, Lanes v) noexcept { std::memcpy(p, &v, sizeof v); }

}  // namespace kernels_detail

// a OP b for one element or for a vector of lanes. A true division: never a
// multiplication by the reciprocal, which differs in the last bit.
template <Op op, class T>
[[nodiscard]] inline T apply(T a, T b) noexcept
{
    if constexpr (op == Op::add) {
        return a + b;
    } else if constexpr (op == Op::subtract) {
        return a - b;
    } else if constexpr (op == Op::multiply) {
        return a * b;
    } else {
        return a / b;
    }
}

// out[i] = a[i] OP b[i] for i < n.
template <Op op>
inline void combine(const double* a, const double* b, double* out, std::size_t n) noexcept
{
    using namespace kernels_detail;
    std::size_t i = 0;
    for (; n - i >= lanes; i += lanes) {
        store(out + i, apply<op>(load(a + i), load(b + i)));
    }
    for (; i < n; ++i) {
        out[i] = apply<op>(a[i], b[i]);
    }
}

// out[i] = a[i] OP s for i < n.
template <Op op>
inline void combine_scalar(const double* a, double s, double* out, std::size_t n) noexcept
{
    using namespace kernels_detail;
    const Lanes broadcast = {s, s};
    std::size_t i = 0;
    for (; n - i >= lanes; i += lanes) {
        store(out + i, apply<op>(load(a + i), broadcast));
    }
    for (; i < n; ++i) {
        out[i] = apply<op>(a[i], s);
    }
}

// out[i] = s for i < n, bit for bit (NaN payloads and -0.0 included).
inline void fill_value(double* out, double s, std::size_t n) noexcept
{
    using namespace kernels_detail;
    const Lanes broadcast = {s, s};
    std::size_t i = 0;
    for (; n - i >= lanes; i += lanes) {
        store(out + i, broadcast);
    }
    for (; i < n; ++i) {
        out[i] = s;
    }
}

// Calls fn with the operator as a compile-time constant, so that each
// operator gets its own loop.
template <class Fn>
decltype(auto) with_op(Op op, Fn&& fn)
{
    switch (op) {
    case Op::add:
        return fn(std::integral_constant<Op, Op::add>{});
    case Op::subtract:
        return fn(std::integral_constant<Op, Op::subtract>{});
    case Op::multiply:
        return fn(std::integral_constant<Op, Op::multiply>{});
    case Op::divide:
        return fn(std::integral_constant<Op, Op::divide>{});
    }
    fault("unknown arithmetic operator " + std::to_string(static_cast<int>(op)));
}

}  // namespace corvane::store
