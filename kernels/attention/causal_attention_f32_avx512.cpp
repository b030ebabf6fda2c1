// GCC 12 takes the undefined pass-through operands inside its AVX-512
// intrinsic headers for uninitialised reads.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "kernels/attention/causal_attention_f32.h"
#include "kernels/attention/causal_attention_f32_loops.h"
#include "kernels/attention/causal_attention_lanes_avx2.h"
#include "kernels/simd/lanes_f32_avx512.h"

namespace vantrel {

namespace {

using CausalOpsWide = CausalOpsLanes<CausalLanesAvx2, LanesF32Avx512>;

// The AVX2 operations with sixteen-lane weighted sums, and scores that put
// two keys in one register: the low half takes key j's eight lanes, the high
// half key j+1's, so each lane keeps the eight-lane chain of the AVX2 path
// while one multiply-add serves two keys.
struct CausalOpsAvx512 : CausalOpsWide {
    // Halves moved as 64-bit lanes: AVX-512F alone, the bits untouched.
    static __m256 lo(__m512 v) { return _mm512_castps512_ps256(v); }
    static __m256 hi(__m512 v) { return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)); }
    static __m512 pair(__m256 a, __m256 b) {
        return _mm512_castpd_ps(
            _mm512_insertf64x4(_mm512_castps_pd(_mm512_zextps256_ps512(a)), _mm256_castps_pd(b), 1));
    }
    static __m512 twice(__m256 a) { return _mm512_castpd_ps(_mm512_broadcast_f64x4(_mm256_castps_pd(a))); }

    // Scores of keys j .. j+2P-1 for queries 0 .. Q-1; d is a multiple of 8.
    template <int Q, int P>
    __attribute__((always_inline)) static inline void score_pairs(const float* q, int64_t qstride,
                                                                  const float* keys, int64_t stride, int64_t j,
                                                                  int64_t d, float scale, float* s,
                                                                  int64_t sstride) {
        __m512 a[Q][P];
        for (int i = 0; i < Q; ++i)
            for (int p = 0; p < P; ++p) a[i][p] = _mm512_setzero_ps();
        for (int64_t c = 0; c < d; c += 8) {
            __m512 kv[P];
            for (int p = 0; p < P; ++p) {
                const float* k0 = keys + (j + 2 * p) * stride + c;
                kv[p] = pair(_mm256_loadu_ps(k0), _mm256_loadu_ps(k0 + stride));
            }
            for (int i = 0; i < Q; ++i) {
                const __m512 qv = twice(_mm256_loadu_ps(q + i * qstride + c));
                for (int p = 0; p < P; ++p) a[i][p] = _mm512_fmadd_ps(qv, kv[p], a[i][p]);
            }
        }
        for (int i = 0; i < Q; ++i) {
            float* si = s + i * sstride + j;
            int p = 0;
            for (; p + 2 <= P; p += 2) {
                const __m256 h[4] = {lo(a[i][p]), hi(a[i][p]), lo(a[i][p + 1]), hi(a[i][p + 1])};
                CausalLanesAvx2::hsum8x4_scaled(&h[0], &h[1], &h[2], &h[3], scale, si + 2 * p);
            }
            if (p < P) {
                const __m256 h[2] = {lo(a[i][p]), hi(a[i][p])};
                si[2 * p] = scale * CausalLanesAvx2::hsum8(&h[0]);
                si[2 * p + 1] = scale * CausalLanesAvx2::hsum8(&h[1]);
            }
        }
    }

    // Enough key pairs for eight to twelve independent chains. Keys streamed
    // from memory by three queries go two pairs at a time (six chains): each
    // key is a stream of its own, and with four keys at once instead of
    // eight a one-token step at context 1024 took 0.75-0.81 of the time on
    // one thread, 0.74-0.88 on two. (Keys in cache, as in a prompt, keep
    // four pairs: two measured some 10 % slower there.)
    template <int Q, bool Streamed = false>
    static void scores_q(const float* q, int64_t qstride, const float* keys, int64_t stride, int64_t n,
                         int64_t d, float scale, float* s, int64_t sstride) {
        constexpr int P = Q == 1 ? 8 : (Q == 2 ? 6 : (Streamed ? 2 : 4));
        int64_t j = 0;
        for (; j + 2 * P <= n; j += 2 * P) score_pairs<Q, P>(q, qstride, keys, stride, j, d, scale, s, sstride);
        for (; j + 2 <= n; j += 2) score_pairs<Q, 1>(q, qstride, keys, stride, j, d, scale, s, sstride);
        if (j < n) CausalOpsWide::score_keys<Q, 1>(q, qstride, keys, stride, j, d, scale, s, sstride);
    }

    static void scores(const float* q, int64_t qstride, int64_t nq, const float* keys, int64_t stride,
                       int64_t n, int64_t d, float scale, float* s, int64_t sstride, bool streamed) {
        if (d % 8 != 0) {  // the tail products: the AVX2 form
            CausalOpsWide::scores(q, qstride, nq, keys, stride, n, d, scale, s, sstride, streamed);
            return;
        }
        int64_t i = 0;
        for (; i + 3 <= nq; i += 3)
            if (streamed)
                scores_q<3, true>(q + i * qstride, qstride, keys, stride, n, d, scale, s + i * sstride, sstride);
            else
                scores_q<3>(q + i * qstride, qstride, keys, stride, n, d, scale, s + i * sstride, sstride);
        if (nq - i == 2) scores_q<2>(q + i * qstride, qstride, keys, stride, n, d, scale, s + i * sstride, sstride);
        if (nq - i == 1) scores_q<1>(q + i * qstride, qstride, keys, stride, n, d, scale, s + i * sstride, sstride);
    }
};

}  // namespace

void k_causal_attention_f32_avx512(const float* q, const float* k, const float* v, float* kv_cache,
                                   int32_t cache_position, int32_t capacity, float* out,
                                   int32_t tokens, float rope_theta, int32_t num_q_heads,
                                   int32_t num_kv_heads, int32_t head_dim, int32_t rope_position,
                                   uint8_t /*cache_flag*/, float* work, void* /*stream*/) {
    causal_attention_run<CausalOpsAvx512>(q, k, v, kv_cache, cache_position, capacity, out, tokens, rope_theta,
                                          num_q_heads, num_kv_heads, head_dim, rope_position, work);
}

}  // namespace vantrel
