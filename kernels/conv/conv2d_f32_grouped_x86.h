// The 8-lane vector of the direct grouped convolution, shared by the AVX2
// path and the AVX-512 path's narrow blocks (each file compiles its own copy
// with its own instruction set).
#pragma once
#include <immintrin.h>

namespace vantrel {
namespace {

struct GroupedVec8 {
    using T = __m256;
    static constexpr int kLanes = 8, kPix = 4;
    static constexpr bool kCopyInput = false;
    static T zero() { return _mm256_setzero_ps(); }
    static T load(const float* p) { return _mm256_loadu_ps(p); }
    static T bcast(const float* p) { return _mm256_broadcast_ss(p); }
    static T fma(T a, T b, T c) { return _mm256_fmadd_ps(a, b, c); }
    static T add(T a, T b) { return _mm256_add_ps(a, b); }
    // Keeps lanes with s > 0; NaN, -0 and negatives become +0.
    static T relu(T s) { return _mm256_and_ps(s, _mm256_cmp_ps(s, _mm256_setzero_ps(), _CMP_GT_OQ)); }
    static void store(float* p, T v) { _mm256_storeu_ps(p, v); }
    static bool has_group(int64_t cog) { return cog == 2 || cog == 4; }
    using M = __m256;
    static M split(int n) {
        return _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(n - 1)));
    }
    static T blend(M m, T a, T b) { return _mm256_blendv_ps(a, b, m); }
    // Element CI of each group of CG lanes, replicated over the group.
    template <int CG, int CI>
    static T in_group(T x) {
        if constexpr (CG == 2)
            return _mm256_permute_ps(x, CI | CI << 2 | (2 + CI) << 4 | (2 + CI) << 6);
        else if constexpr (CG == 4)
            return _mm256_permute_ps(x, CI * 0x55);
        else
            return _mm256_permutevar8x32_ps(x, _mm256_set1_epi32(CI));
    }
};

}  // namespace
}  // namespace vantrel
