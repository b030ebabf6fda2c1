// Attention core on AVX2 + FMA: eight keys per register for the scores,
// eight features per register for the weighted values.
#include <immintrin.h>
#include <math.h>

#include "kernels/attention_core.h"
#include "kernels/attention_core_loops.h"
#include "kernels/vmath_avx2.h"

namespace vantrel {

namespace {

struct AttentionOpsAvx2 {
    static void scores(const float* q, const float* kt, int64_t stride, int64_t n, int64_t d,
                       float scale, float* s) {
        const __m256 vs = _mm256_set1_ps(scale);
        int64_t j = 0;
        for (; j + 32 <= n; j += 32) {
            __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
            for (int64_t c = 0; c < d; ++c) {
                const __m256 qc = _mm256_set1_ps(q[c]);
                const float* k = kt + c * stride + j;
                a0 = _mm256_fmadd_ps(qc, _mm256_loadu_ps(k), a0);
                a1 = _mm256_fmadd_ps(qc, _mm256_loadu_ps(k + 8), a1);
                a2 = _mm256_fmadd_ps(qc, _mm256_loadu_ps(k + 16), a2);
                a3 = _mm256_fmadd_ps(qc, _mm256_loadu_ps(k + 24), a3);
            }
            _mm256_storeu_ps(s + j, _mm256_mul_ps(vs, a0));
            _mm256_storeu_ps(s + j + 8, _mm256_mul_ps(vs, a1));
            _mm256_storeu_ps(s + j + 16, _mm256_mul_ps(vs, a2));
            _mm256_storeu_ps(s + j + 24, _mm256_mul_ps(vs, a3));
        }
        for (; j + 8 <= n; j += 8) {
            __m256 a0 = _mm256_setzero_ps();
            for (int64_t c = 0; c < d; ++c)
                a0 = _mm256_fmadd_ps(_mm256_set1_ps(q[c]), _mm256_loadu_ps(kt + c * stride + j), a0);
            _mm256_storeu_ps(s + j, _mm256_mul_ps(vs, a0));
        }
        for (; j < n; ++j) {
            float acc = 0.0f;
            for (int64_t c = 0; c < d; ++c) acc = ::fmaf(q[c], kt[c * stride + j], acc);
            s[j] = scale * acc;
        }
    }
    static void weights(const float* s, int64_t n, float m, float* p) {
        const int64_t groups = n / 4 * 4;
        const __m256 vm = _mm256_set1_ps(m);
        int64_t j = 0;
        for (; j + 8 <= groups; j += 8)
            _mm256_storeu_ps(p + j, vmath::vexp_avx2(_mm256_sub_ps(_mm256_loadu_ps(s + j), vm)));
        for (; j < groups; ++j) p[j] = vmath::vexp(s[j] - m);
        for (; j < n; ++j) p[j] = ::expf(s[j] - m);
    }
    static void accumulate(float* acc, float a, const float* p, const float* v, int64_t n, int64_t d) {
        const __m256 va = _mm256_set1_ps(a);
        int64_t c = 0;
        for (; c + 32 <= d; c += 32) {
            __m256 a0 = _mm256_mul_ps(_mm256_loadu_ps(acc + c), va);
            __m256 a1 = _mm256_mul_ps(_mm256_loadu_ps(acc + c + 8), va);
            __m256 a2 = _mm256_mul_ps(_mm256_loadu_ps(acc + c + 16), va);
            __m256 a3 = _mm256_mul_ps(_mm256_loadu_ps(acc + c + 24), va);
            for (int64_t j = 0; j < n; ++j) {
                const __m256 w = _mm256_set1_ps(p[j]);
                const float* vj = v + j * d + c;
                a0 = _mm256_fmadd_ps(w, _mm256_loadu_ps(vj), a0);
                a1 = _mm256_fmadd_ps(w, _mm256_loadu_ps(vj + 8), a1);
                a2 = _mm256_fmadd_ps(w, _mm256_loadu_ps(vj + 16), a2);
                a3 = _mm256_fmadd_ps(w, _mm256_loadu_ps(vj + 24), a3);
            }
            _mm256_storeu_ps(acc + c, a0);
            _mm256_storeu_ps(acc + c + 8, a1);
            _mm256_storeu_ps(acc + c + 16, a2);
            _mm256_storeu_ps(acc + c + 24, a3);
        }
        for (; c + 8 <= d; c += 8) {
            __m256 a0 = _mm256_mul_ps(_mm256_loadu_ps(acc + c), va);
            for (int64_t j = 0; j < n; ++j)
                a0 = _mm256_fmadd_ps(_mm256_set1_ps(p[j]), _mm256_loadu_ps(v + j * d + c), a0);
            _mm256_storeu_ps(acc + c, a0);
        }
        for (; c < d; ++c) {
            float x = acc[c] * a;
            for (int64_t j = 0; j < n; ++j) x = ::fmaf(p[j], v[j * d + c], x);
            acc[c] = x;
        }
    }
};

}  // namespace

void attention_core_f32_avx2(const float* qkv, float* out, int32_t tokens, int32_t embed,
                             int32_t num_heads) {
    attention_core_run<AttentionOpsAvx2>(qkv, out, tokens, embed, num_heads);
}

}  // namespace vantrel
