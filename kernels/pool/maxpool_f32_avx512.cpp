#include <immintrin.h>

#include <limits>

#include "kernels/pool/maxpool.h"
#include "kernels/pool/maxpool_loops.h"

namespace vantrel {

namespace {
struct Avx512F32 {
    using T = float;
    using V = __m512;
    static constexpr int L = 16;
    static __mmask16 first(int n) { return __mmask16((1u << n) - 1u); }
    static V lowest() { return _mm512_set1_ps(-std::numeric_limits<float>::infinity()); }
    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static V load_n(const float* p, int n) { return _mm512_mask_loadu_ps(lowest(), first(n), p); }
    static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
    static void store_n(float* p, V v, int n) { _mm512_mask_storeu_ps(p, first(n), v); }
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
};
}  // namespace

void k_maxpool_f32_avx512(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                          int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                          int32_t pad_w, void* /*stream*/) {
    maxpool_loops<Avx512F32>(in, out, c, h, w, kh, kw, stride_h, stride_w, pad_h, pad_w);
}

}  // namespace vantrel
