#include <immintrin.h>
#include <math.h>

#include "kernels/causal_attention_f32.h"
#include "kernels/causal_attention_f32_loops.h"

namespace vantrel {

namespace {

// ((l0+l1)+(l2+l3)) + ((l4+l5)+(l6+l7)), the order of the portable lanes.
inline float lanes8_sum(__m256 a) {
    const __m256 h = _mm256_hadd_ps(a, a);
    const __m256 h2 = _mm256_hadd_ps(h, h);
    return _mm_cvtss_f32(_mm256_castps256_ps128(h2)) + _mm_cvtss_f32(_mm256_extractf128_ps(h2, 1));
}

struct CausalOpsAvx2 {
    static void rope(float* x, const float* cs, const float* sn, int64_t half) {
        float* y = x + half;
        int64_t i = 0;
        for (; i + 8 <= half; i += 8) {
            const __m256 a = _mm256_loadu_ps(x + i), b = _mm256_loadu_ps(y + i);
            const __m256 c = _mm256_loadu_ps(cs + i), s = _mm256_loadu_ps(sn + i);
            _mm256_storeu_ps(x + i, _mm256_fnmadd_ps(s, b, _mm256_mul_ps(c, a)));
            _mm256_storeu_ps(y + i, _mm256_fmadd_ps(s, a, _mm256_mul_ps(c, b)));
        }
        for (; i < half; ++i) {
            const float a = x[i], b = y[i];
            x[i] = fmaf(-sn[i], b, cs[i] * a);
            y[i] = fmaf(sn[i], a, cs[i] * b);
        }
    }

    static void scores(const float* q, const float* keys, int64_t stride, int64_t n, int64_t d,
                       float scale, float* s) {
        const int64_t d8 = d / 8 * 8;
        int64_t j = 0;
        // Four keys at a time keep four independent multiply-add chains.
        for (; j + 4 <= n; j += 4) {
            const float* k0 = keys + j * stride;
            const float* k1 = k0 + stride;
            const float* k2 = k1 + stride;
            const float* k3 = k2 + stride;
            __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
            for (int64_t c = 0; c < d8; c += 8) {
                const __m256 qv = _mm256_loadu_ps(q + c);
                a0 = _mm256_fmadd_ps(qv, _mm256_loadu_ps(k0 + c), a0);
                a1 = _mm256_fmadd_ps(qv, _mm256_loadu_ps(k1 + c), a1);
                a2 = _mm256_fmadd_ps(qv, _mm256_loadu_ps(k2 + c), a2);
                a3 = _mm256_fmadd_ps(qv, _mm256_loadu_ps(k3 + c), a3);
            }
            float r0 = lanes8_sum(a0), r1 = lanes8_sum(a1), r2 = lanes8_sum(a2), r3 = lanes8_sum(a3);
            for (int64_t c = d8; c < d; ++c) {
                r0 = fmaf(q[c], k0[c], r0);
                r1 = fmaf(q[c], k1[c], r1);
                r2 = fmaf(q[c], k2[c], r2);
                r3 = fmaf(q[c], k3[c], r3);
            }
            s[j] = scale * r0;
            s[j + 1] = scale * r1;
            s[j + 2] = scale * r2;
            s[j + 3] = scale * r3;
        }
        for (; j < n; ++j) {
            const float* kr = keys + j * stride;
            __m256 a = _mm256_setzero_ps();
            for (int64_t c = 0; c < d8; c += 8) a = _mm256_fmadd_ps(_mm256_loadu_ps(q + c), _mm256_loadu_ps(kr + c), a);
            float r = lanes8_sum(a);
            for (int64_t c = d8; c < d; ++c) r = fmaf(q[c], kr[c], r);
            s[j] = scale * r;
        }
    }

    static void weighted_sum(const float* w, const float* vals, int64_t stride, int64_t n,
                             int64_t d, float* o) {
        int64_t c = 0;
        // Column blocks stay in registers across all j; each element's chain
        // still runs in ascending j.
        for (; c + 32 <= d; c += 32) {
            __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
            for (int64_t j = 0; j < n; ++j) {
                const float* vr = vals + j * stride + c;
                const __m256 wj = _mm256_set1_ps(w[j]);
                a0 = _mm256_fmadd_ps(wj, _mm256_loadu_ps(vr), a0);
                a1 = _mm256_fmadd_ps(wj, _mm256_loadu_ps(vr + 8), a1);
                a2 = _mm256_fmadd_ps(wj, _mm256_loadu_ps(vr + 16), a2);
                a3 = _mm256_fmadd_ps(wj, _mm256_loadu_ps(vr + 24), a3);
            }
            _mm256_storeu_ps(o + c, a0);
            _mm256_storeu_ps(o + c + 8, a1);
            _mm256_storeu_ps(o + c + 16, a2);
            _mm256_storeu_ps(o + c + 24, a3);
        }
        for (; c + 8 <= d; c += 8) {
            __m256 a = _mm256_setzero_ps();
            for (int64_t j = 0; j < n; ++j)
                a = _mm256_fmadd_ps(_mm256_set1_ps(w[j]), _mm256_loadu_ps(vals + j * stride + c), a);
            _mm256_storeu_ps(o + c, a);
        }
        for (; c < d; ++c) {
            float a = 0.0f;
            for (int64_t j = 0; j < n; ++j) a = fmaf(w[j], vals[j * stride + c], a);
            o[c] = a;
        }
    }
};

}  // namespace

void k_causal_attention_f32_avx2(const float* q, const float* k, const float* v, float* kv_cache,
                                 int32_t cache_position, int32_t capacity, float* out,
                                 int32_t tokens, float rope_theta, int32_t num_q_heads,
                                 int32_t num_kv_heads, int32_t head_dim, int32_t rope_position,
                                 uint8_t /*cache_flag*/, float* work, void* /*stream*/) {
    causal_attention_run<CausalOpsAvx2>(q, k, v, kv_cache, cache_position, capacity, out, tokens,
                                        rope_theta, num_q_heads, num_kv_heads, head_dim,
                                        rope_position, work);
}

}  // namespace vantrel
