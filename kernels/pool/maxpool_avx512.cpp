// Max pooling on AVX-512: sixteen float or sixty-four int8 lanes per
// register, partial blocks under a mask.
// GCC 12 takes the undefined pass-through operands inside its AVX-512
// intrinsic headers for uninitialised reads.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <limits>

#include "kernels/pool/maxpool.h"
#include "kernels/pool/maxpool_loops.h"
#include "kernels/simd/lanes_f32_avx512.h"

namespace vantrel {

namespace {
struct MaxF32 : LanesF32Avx512 {
    using T = float;
    static V lowest() { return set1(-std::numeric_limits<float>::infinity()); }
    // maxpool_max_f32 on sixteen lanes (see maxpool.h).
    static V max(V m, V x) {
        const __m512i quiet = _mm512_set1_epi32(0x00400000);
        const __m512i mi = _mm512_castps_si512(m), xi = _mm512_castps_si512(x);
        __m512 r = _mm512_castsi512_ps(_mm512_and_si512(mi, xi));
        r = _mm512_mask_mov_ps(r, _mm512_cmp_ps_mask(m, x, _CMP_GT_OQ), m);
        r = _mm512_mask_mov_ps(r, _mm512_cmp_ps_mask(x, m, _CMP_GT_OQ), x);
        const __mmask16 m_nan = _mm512_cmp_ps_mask(m, m, _CMP_UNORD_Q);
        const __mmask16 x_nan = _mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q);
        r = _mm512_mask_mov_ps(r, m_nan, m);
        const __mmask16 x_is_quiet = _mm512_test_epi32_mask(xi, quiet);
        const __mmask16 x_wins = __mmask16(x_nan & ~(m_nan & x_is_quiet));
        return _mm512_mask_mov_ps(r, x_wins, _mm512_castsi512_ps(_mm512_or_si512(xi, quiet)));
    }
    static constexpr bool kFastMax = true;
    // Without NaNs: the larger value, and for equal values (identical bits,
    // or +0 against -0) the AND of both, as max() gives.
    static V fast_max(V m, V x) { return _mm512_and_ps(_mm512_max_ps(m, x), _mm512_max_ps(x, m)); }
    static __mmask16 no_flags() { return 0; }
    static __mmask16 nan_seen(V x, V y) { return _mm512_cmp_ps_mask(x, y, _CMP_UNORD_Q); }
    static __mmask16 or_flags(__mmask16 a, __mmask16 b) { return __mmask16(a | b); }
    static bool any_flag(__mmask16 f) { return f != 0; }
    static constexpr bool kPlainMax = true;
    static V plain_max(V m, V x) { return _mm512_max_ps(x, m); }
    // One class test per vector: quiet NaN (0x01), -0 (0x04), signalling NaN (0x80).
    static bool nan_or_neg_zero(const float* p, int64_t n) {
        constexpr int kClasses = 0x85;
        __mmask16 f0 = 0, f1 = 0;
        int64_t i = 0;
        for (; i + 32 <= n; i += 32) {
            f0 = __mmask16(f0 | _mm512_fpclass_ps_mask(_mm512_loadu_ps(p + i), kClasses));
            f1 = __mmask16(f1 | _mm512_fpclass_ps_mask(_mm512_loadu_ps(p + i + 16), kClasses));
        }
        for (; i < n; i += 16) {
            const __mmask16 k = n - i >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (n - i)) - 1);
            f0 = __mmask16(f0 | _mm512_mask_fpclass_ps_mask(k, _mm512_maskz_loadu_ps(k, p + i), kClasses));
        }
        return (f0 | f1) != 0;
    }
};

struct MaxS8 {
    using T = int8_t;
    using V = __m512i;
    static constexpr int L = 64;
    static __mmask64 first(int n) { return n >= 64 ? ~__mmask64(0) : (__mmask64(1) << n) - 1; }
    static V lowest() { return _mm512_set1_epi8(-128); }
    static V load(const int8_t* p) { return _mm512_loadu_si512(p); }
    static V load_n(const int8_t* p, int n) { return _mm512_mask_loadu_epi8(lowest(), first(n), p); }
    static void store(int8_t* p, V v) { _mm512_storeu_si512(p, v); }
    static void store_n(int8_t* p, V v, int n) { _mm512_mask_storeu_epi8(p, first(n), v); }
    static V max(V m, V x) { return _mm512_max_epi8(m, x); }
};
}  // namespace

VANTREL_MAXPOOL_KERNEL(k_maxpool_f32_avx512, MaxF32)
VANTREL_MAXPOOL_CEIL_KERNEL(k_maxpool_ceil_f32_avx512, MaxF32)
VANTREL_MAXPOOL_KERNEL(k_maxpool_s8_avx512, MaxS8)
VANTREL_MAXPOOL_CEIL_KERNEL(k_maxpool_ceil_s8_avx512, MaxS8)

}  // namespace vantrel
