// Attention core on AVX-512: sixteen keys per register for the scores,
// sixteen features per register for the weighted values.
#include <immintrin.h>
#include <math.h>

#include "kernels/attention_core.h"
#include "kernels/attention_core_loops.h"
#include "kernels/vmath_avx512.h"

namespace vantrel {

namespace {

struct AttentionOpsAvx512 {
    static void scores(const float* q, const float* kt, int64_t stride, int64_t n, int64_t d,
                       float scale, float* s) {
        const __m512 vs = _mm512_set1_ps(scale);
        int64_t j = 0;
        for (; j + 64 <= n; j += 64) {
            __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
            for (int64_t c = 0; c < d; ++c) {
                const __m512 qc = _mm512_set1_ps(q[c]);
                const float* k = kt + c * stride + j;
                a0 = _mm512_fmadd_ps(qc, _mm512_loadu_ps(k), a0);
                a1 = _mm512_fmadd_ps(qc, _mm512_loadu_ps(k + 16), a1);
                a2 = _mm512_fmadd_ps(qc, _mm512_loadu_ps(k + 32), a2);
                a3 = _mm512_fmadd_ps(qc, _mm512_loadu_ps(k + 48), a3);
            }
            _mm512_storeu_ps(s + j, _mm512_mul_ps(vs, a0));
            _mm512_storeu_ps(s + j + 16, _mm512_mul_ps(vs, a1));
            _mm512_storeu_ps(s + j + 32, _mm512_mul_ps(vs, a2));
            _mm512_storeu_ps(s + j + 48, _mm512_mul_ps(vs, a3));
        }
        for (; j + 16 <= n; j += 16) {
            __m512 a0 = _mm512_setzero_ps();
            for (int64_t c = 0; c < d; ++c)
                a0 = _mm512_fmadd_ps(_mm512_set1_ps(q[c]), _mm512_loadu_ps(kt + c * stride + j), a0);
            _mm512_storeu_ps(s + j, _mm512_mul_ps(vs, a0));
        }
        for (; j < n; ++j) {
            float acc = 0.0f;
            for (int64_t c = 0; c < d; ++c) acc = ::fmaf(q[c], kt[c * stride + j], acc);
            s[j] = scale * acc;
        }
    }
    static void weights(const float* s, int64_t n, float m, float* p) {
        const int64_t groups = n / 4 * 4;
        const __m512 vm = _mm512_set1_ps(m);
        int64_t j = 0;
        for (; j + 16 <= groups; j += 16)
            _mm512_storeu_ps(p + j, vmath::vexp_avx512(_mm512_sub_ps(_mm512_loadu_ps(s + j), vm)));
        for (; j < groups; ++j) p[j] = vmath::vexp(s[j] - m);
        for (; j < n; ++j) p[j] = ::expf(s[j] - m);
    }
    static void accumulate(float* acc, float a, const float* p, const float* v, int64_t n, int64_t d) {
        const __m512 va = _mm512_set1_ps(a);
        int64_t c = 0;
        for (; c + 64 <= d; c += 64) {
            __m512 a0 = _mm512_mul_ps(_mm512_loadu_ps(acc + c), va);
            __m512 a1 = _mm512_mul_ps(_mm512_loadu_ps(acc + c + 16), va);
            __m512 a2 = _mm512_mul_ps(_mm512_loadu_ps(acc + c + 32), va);
            __m512 a3 = _mm512_mul_ps(_mm512_loadu_ps(acc + c + 48), va);
            for (int64_t j = 0; j < n; ++j) {
                const __m512 w = _mm512_set1_ps(p[j]);
                const float* vj = v + j * d + c;
                a0 = _mm512_fmadd_ps(w, _mm512_loadu_ps(vj), a0);
                a1 = _mm512_fmadd_ps(w, _mm512_loadu_ps(vj + 16), a1);
                a2 = _mm512_fmadd_ps(w, _mm512_loadu_ps(vj + 32), a2);
                a3 = _mm512_fmadd_ps(w, _mm512_loadu_ps(vj + 48), a3);
            }
            _mm512_storeu_ps(acc + c, a0);
            _mm512_storeu_ps(acc + c + 16, a1);
            _mm512_storeu_ps(acc + c + 32, a2);
            _mm512_storeu_ps(acc + c + 48, a3);
        }
        for (; c + 16 <= d; c += 16) {
            __m512 a0 = _mm512_mul_ps(_mm512_loadu_ps(acc + c), va);
            for (int64_t j = 0; j < n; ++j)
                a0 = _mm512_fmadd_ps(_mm512_set1_ps(p[j]), _mm512_loadu_ps(v + j * d + c), a0);
            _mm512_storeu_ps(acc + c, a0);
        }
        for (; c < d; ++c) {
            float x = acc[c] * a;
            for (int64_t j = 0; j < n; ++j) x = ::fmaf(p[j], v[j * d + c], x);
            acc[c] = x;
        }
    }
};

}  // namespace

void attention_core_f32_avx512(const float* qkv, float* out, int32_t tokens, int32_t embed,
                             int32_t num_heads) {
    attention_core_run<AttentionOpsAvx512>(qkv, out, tokens, embed, num_heads);
}

}  // namespace vantrel
