#include <immintrin.h>

#include <limits>

#include "kernels/pool/maxpool.h"
#include "kernels/pool/maxpool_loops.h"

namespace vantrel {

namespace {
struct Avx2F32 {
    using T = float;
    using V = __m256;
    static constexpr int L = 8;
    static V lowest() { return _mm256_set1_ps(-std::numeric_limits<float>::infinity()); }
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static V load_n(const float* p, int n) {
        alignas(32) float b[L];
        for (int i = 0; i < L; ++i) b[i] = i < n ? p[i] : -std::numeric_limits<float>::infinity();
        return _mm256_load_ps(b);
    }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static void store_n(float* p, V v, int n) {
        alignas(32) float b[L];
        _mm256_store_ps(b, v);
        for (int i = 0; i < n; ++i) p[i] = b[i];
    }
    // maxpool_max_f32 on eight lanes (see maxpool.h).
    static V max(V m, V x) {
        const __m256i quiet = _mm256_set1_epi32(0x00400000);
        __m256 r = _mm256_and_ps(m, x);
        r = _mm256_blendv_ps(r, m, _mm256_cmp_ps(m, x, _CMP_GT_OQ));
        r = _mm256_blendv_ps(r, x, _mm256_cmp_ps(x, m, _CMP_GT_OQ));
        const __m256 m_nan = _mm256_cmp_ps(m, m, _CMP_UNORD_Q);
        const __m256 x_nan = _mm256_cmp_ps(x, x, _CMP_UNORD_Q);
        r = _mm256_blendv_ps(r, m, m_nan);
        const __m256i xi = _mm256_castps_si256(x);
        const __m256 x_is_quiet =
            _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(xi, quiet), quiet));
        const __m256 x_wins = _mm256_andnot_ps(_mm256_and_ps(m_nan, x_is_quiet), x_nan);
        return _mm256_blendv_ps(r, _mm256_castsi256_ps(_mm256_or_si256(xi, quiet)), x_wins);
    }
};
}  // namespace

void k_maxpool_f32_avx2(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                        int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                        int32_t pad_w, void* /*stream*/) {
    maxpool_loops<Avx2F32>(in, out, c, h, w, kh, kw, stride_h, stride_w, pad_h, pad_w);
}

}  // namespace vantrel
