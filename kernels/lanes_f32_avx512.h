// Sixteen float lanes in an AVX-512 register for the channel loops of the
// average-pooling and bilinear-upsampling kernels: zero, set1, load, load_n
// (lanes >= n read as 0), store, store_n, add, mul. Plain IEEE single-
// precision operations lane by lane, so every width gives the same bits. The
// struct sits in an unnamed namespace: each file that includes this header,
// built with its own instruction set, gets its own copy.
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
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
};

}  // namespace
}  // namespace vantrel
