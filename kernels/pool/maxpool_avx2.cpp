// Max pooling on AVX2: eight float or thirty-two int8 lanes per register.
#include <immintrin.h>

#include <cstring>
#include <limits>

#include "kernels/pool/maxpool.h"
#include "kernels/pool/maxpool_loops.h"
#include "kernels/simd/lanes_f32_avx2.h"

namespace vantrel {

namespace {
struct MaxF32 : LanesF32Avx2 {
    using T = float;
    static V lowest() { return set1(-std::numeric_limits<float>::infinity()); }
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
    static constexpr bool kFastMax = true;
    // Without NaNs: the larger value, and for equal values (identical bits,
    // or +0 against -0) the AND of both, as max() gives.
    static V fast_max(V m, V x) { return _mm256_and_ps(_mm256_max_ps(m, x), _mm256_max_ps(x, m)); }
    static V no_flags() { return _mm256_setzero_ps(); }
    static V nan_seen(V x, V y) { return _mm256_cmp_ps(x, y, _CMP_UNORD_Q); }
    static V or_flags(V a, V b) { return _mm256_or_ps(a, b); }
    static bool any_flag(V f) { return _mm256_movemask_ps(f) != 0; }
    static constexpr bool kPlainMax = true;
    static V plain_max(V m, V x) { return _mm256_max_ps(x, m); }
    static bool nan_or_neg_zero(const float* p, int64_t n) {
        const __m256i neg_zero = _mm256_set1_epi32(int32_t(0x80000000u));
        __m256 f = _mm256_setzero_ps();
        int64_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const __m256 x = _mm256_loadu_ps(p + i);
            f = _mm256_or_ps(f, _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
            f = _mm256_or_ps(f, _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_castps_si256(x), neg_zero)));
        }
        bool any = _mm256_movemask_ps(f) != 0;
        for (; i < n; ++i) {
            uint32_t b;
            std::memcpy(&b, p + i, 4);
            any = any || p[i] != p[i] || b == 0x80000000u;
        }
        return any;
    }
};

struct MaxS8 {
    using T = int8_t;
    using V = __m256i;
    static constexpr int L = 32;
    static V lowest() { return _mm256_set1_epi8(-128); }
    static V load(const int8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store(int8_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static V load_n(const int8_t* p, int n) { return load_n_buffered<MaxS8>(p, n, int8_t(-128)); }
    static void store_n(int8_t* p, V v, int n) { store_n_buffered<MaxS8>(p, v, n); }
    static V max(V m, V x) { return _mm256_max_epi8(m, x); }
};
}  // namespace

VANTREL_MAXPOOL_KERNEL(k_maxpool_f32_avx2, MaxF32)
VANTREL_MAXPOOL_CEIL_KERNEL(k_maxpool_ceil_f32_avx2, MaxF32)
VANTREL_MAXPOOL_KERNEL(k_maxpool_s8_avx2, MaxS8)
VANTREL_MAXPOOL_CEIL_KERNEL(k_maxpool_ceil_s8_avx2, MaxS8)

}  // namespace vantrel
