// The four-lane register of lane4_sums (norm_rows.h) for the AVX2 and
// AVX-512 normalisation kernels: 128-bit, so one register holds a row's lanes.
#pragma once
#include <immintrin.h>

namespace vantrel {
namespace {

struct Lanes4Sse {
    using V = __m128;
    static constexpr int L = 4;
    static V zero() { return _mm_setzero_ps(); }
    static V set1(float x) { return _mm_set1_ps(x); }
    static V load(const float* p) { return _mm_loadu_ps(p); }
    static V add(V a, V b) { return _mm_add_ps(a, b); }
    static V sub(V a, V b) { return _mm_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm_mul_ps(a, b); }
    // (l0 + l1) + (l2 + l3).
    static float pairwise(V v) {
        const V h = _mm_hadd_ps(v, v);
        return _mm_cvtss_f32(_mm_hadd_ps(h, h));
    }
};

}  // namespace
}  // namespace vantrel
