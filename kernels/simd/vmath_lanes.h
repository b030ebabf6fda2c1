// vexp, recip and vsin of vmath.h on a lane struct Ln (lanes_f32_*.h) that
// also has
//   min_keep_nan(z, c), max_keep_nan(z, c)  a NaN z passes through
//   round(v)                                nearest integer, ties to even
//   div(a, b)
//   pow2i(k)                                2^k built in the exponent field
//                                           (k integral; NaN lanes are NaN
//                                           through the product anyway)
//   negate_if_odd(y, k)                     y with its sign flipped where
//                                           |k| < kParityLimit and k is odd
// Each lane rounds exactly like the one-lane version.
#pragma once
#include "kernels/simd/vmath.h"

namespace vantrel {
namespace vmath {

template <class Ln>
static inline typename Ln::V vexp_lanes(typename Ln::V z) {
    using V = typename Ln::V;
    z = Ln::min_keep_nan(z, Ln::set1(kExpHi));
    z = Ln::max_keep_nan(z, Ln::set1(kExpLo));
    const V k = Ln::round(Ln::mul(z, Ln::set1(kLog2e)));
    V r = Ln::fnmadd(k, Ln::set1(kLn2Hi), z);
    r = Ln::fnmadd(k, Ln::set1(kLn2Lo), r);
    V p = Ln::set1(kExpP0);
    p = Ln::fmadd(p, r, Ln::set1(kExpP1));
    p = Ln::fmadd(p, r, Ln::set1(kExpP2));
    p = Ln::fmadd(p, r, Ln::set1(kExpP3));
    p = Ln::fmadd(p, r, Ln::set1(kExpP4));
    p = Ln::fmadd(p, r, Ln::set1(kExpP5));
    p = Ln::fmadd(p, r, Ln::set1(kExpP6));
    p = Ln::fmadd(p, r, Ln::set1(kExpP7));
    return Ln::mul(p, Ln::pow2i(k));
}

// vexp_lanes on N registers in place, each step over all N before the next:
// the same operations on every lane, with the N dependency chains side by
// side, so a caller bound by the chain's latency (an epilogue over a tile's
// registers) overlaps them.
template <class Ln, int N>
static inline void vexp_lanes_n(typename Ln::V* z) {
    using V = typename Ln::V;
    V k[N], r[N], p[N];
    for (int i = 0; i < N; ++i) z[i] = Ln::min_keep_nan(z[i], Ln::set1(kExpHi));
    for (int i = 0; i < N; ++i) z[i] = Ln::max_keep_nan(z[i], Ln::set1(kExpLo));
    for (int i = 0; i < N; ++i) k[i] = Ln::round(Ln::mul(z[i], Ln::set1(kLog2e)));
    for (int i = 0; i < N; ++i) r[i] = Ln::fnmadd(k[i], Ln::set1(kLn2Hi), z[i]);
    for (int i = 0; i < N; ++i) r[i] = Ln::fnmadd(k[i], Ln::set1(kLn2Lo), r[i]);
    for (int i = 0; i < N; ++i) p[i] = Ln::set1(kExpP0);
    const float coeffs[] = {kExpP1, kExpP2, kExpP3, kExpP4, kExpP5, kExpP6, kExpP7};
    for (const float c : coeffs)
        for (int i = 0; i < N; ++i) p[i] = Ln::fmadd(p[i], r[i], Ln::set1(c));
    for (int i = 0; i < N; ++i) z[i] = Ln::mul(p[i], Ln::pow2i(k[i]));
}

template <class Ln>
static inline typename Ln::V recip_step_lanes(typename Ln::V d, typename Ln::V r) {
    return Ln::mul(r, Ln::sub(Ln::set1(2.0f), Ln::mul(d, r)));
}

// Correctly rounded quotient as first estimate (see recip in vmath.h).
template <class Ln>
static inline typename Ln::V recip_lanes(typename Ln::V d) {
    const typename Ln::V r0 = Ln::div(Ln::set1(1.0f), d);
    return recip_step_lanes<Ln>(d, recip_step_lanes<Ln>(d, r0));
}

template <class Ln>
static inline typename Ln::V vsin_lanes(typename Ln::V x) {
    using V = typename Ln::V;
    const V k = Ln::round(Ln::mul(x, Ln::set1(kInvPi)));
    const V r = Ln::sub(x, Ln::mul(k, Ln::set1(kPi)));
    const V q = Ln::mul(r, r);
    V p = Ln::set1(kSinP0);
    p = Ln::add(Ln::mul(p, q), Ln::set1(kSinP1));
    p = Ln::add(Ln::mul(p, q), Ln::set1(kSinP2));
    p = Ln::add(Ln::mul(p, q), Ln::set1(kSinP3));
    p = Ln::add(Ln::mul(p, q), Ln::set1(kSinP4));
    return Ln::negate_if_odd(Ln::mul(r, p), k);
}

}  // namespace vmath
}  // namespace vantrel
