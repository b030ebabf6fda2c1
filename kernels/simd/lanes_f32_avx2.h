// Eight float lanes in an AVX2 register for the templated row loops: zero,
// set1, load, load_n (lanes >= n read as 0), store, store_n, add, sub, mul,
// sqrt, neg (sign flip), fmadd(a, b, c) = a*b + c and fnmadd(a, b, c) =
// c - a*b, both rounded once. IEEE single-precision operations lane by lane, so every width gives
// the same bits. The struct sits in an unnamed namespace: each file that
// includes this header, built with its own instruction set, gets its own copy.
#pragma once

#include <immintrin.h>

#include "kernels/simd/lanes_buffered.h"

namespace vantrel {
namespace {

struct LanesF32Avx2 {
    using V = __m256;
    static constexpr int L = 8;
    static V zero() { return _mm256_setzero_ps(); }
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static V load_n(const float* p, int n) { return load_n_buffered<LanesF32Avx2>(p, n, 0.0f); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static void store_n(float* p, V v, int n) { store_n_buffered<LanesF32Avx2>(p, v, n); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_ps(a); }
    static V neg(V a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
    static V fnmadd(V a, V b, V c) { return _mm256_fnmadd_ps(a, b, c); }
};

}  // namespace
}  // namespace vantrel
