// Sixteen float lanes in an AVX-512 register for the templated row loops:
// the operations of lanes_f32_avx2.h, with masked partial loads and stores.
// The struct sits in an unnamed namespace: each file that includes this
// header, built with its own instruction set, gets its own copy.
#pragma once

#include <immintrin.h>

namespace vantrel {
namespace {

struct LanesF32Avx512 {
    using V = __m512;
    static constexpr int L = 16;
    static __mmask16 first(int n) { return __mmask16((1u << n) - 1u); }
    static V zero() { return _mm512_setzero_ps(); }
    static V set1(float x) { return _mm512_set1_ps(x); }
    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static V load_n(const float* p, int n) { return _mm512_maskz_loadu_ps(first(n), p); }
    static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
    static void store_n(float* p, V v, int n) { _mm512_mask_storeu_ps(p, first(n), v); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V sqrt(V a) { return _mm512_sqrt_ps(a); }
    static V neg(V a) { return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(a), _mm512_set1_epi32(int32_t(0x80000000u)))); }
    static V fmadd(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
    static V fnmadd(V a, V b, V c) { return _mm512_fnmadd_ps(a, b, c); }
};

}  // namespace
}  // namespace vantrel
