#include <immintrin.h>

#include "kernels/ada_in1d_f32.h"
#include "kernels/ada_in1d_f32_loops.h"

namespace vantrel {

// Lanes run across channels; each lane does the portable path's operations.
void k_ada_in1d_f32_avx512(const float* x, float* out, const float* gamma, const float* beta,
                       int32_t t, int32_t c, void*, const float* norm_w, float eps,
                       const float* norm_b) {
    constexpr int64_t W = 16;
    ada_in1d_run(
        x, out, gamma, beta, t, c, norm_w, eps, norm_b,
        [](float* acc, const float* r, int64_t n) {
            int64_t j = 0;
            for (; j + W <= n; j += W) _mm512_storeu_ps(acc + j, _mm512_add_ps(_mm512_loadu_ps(acc + j), _mm512_loadu_ps(r + j)));
            ada_add_tail(acc, r, j, n);
        },
        [](float* acc, const float* r, const float* m, int64_t n) {
            int64_t j = 0;
            for (; j + W <= n; j += W) {
                const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(r + j), _mm512_loadu_ps(m + j));
                _mm512_storeu_ps(acc + j, _mm512_add_ps(_mm512_loadu_ps(acc + j), _mm512_mul_ps(d, d)));
            }
            ada_add_sq_tail(acc, r, m, j, n);
        },
        [](const float* r, float* y, const float* m, const float* rs, const float* gm, const float* b,
           const float* nw, const float* nb, int64_t n) {
            int64_t j = 0;
            if (!nw) {
                for (; j + W <= n; j += W) {
                    const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(r + j), _mm512_loadu_ps(m + j));
                    _mm512_storeu_ps(y + j, _mm512_add_ps(_mm512_loadu_ps(b + j), _mm512_mul_ps(_mm512_mul_ps(d, _mm512_loadu_ps(gm + j)), _mm512_loadu_ps(rs + j))));
                }
            } else {
                for (; j + W <= n; j += W) {
                    const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(r + j), _mm512_loadu_ps(m + j));
                    const __m512 xh = _mm512_add_ps(_mm512_loadu_ps(nb + j), _mm512_mul_ps(_mm512_mul_ps(_mm512_loadu_ps(nw + j), d), _mm512_loadu_ps(rs + j)));
                    _mm512_storeu_ps(y + j, _mm512_add_ps(_mm512_add_ps(_mm512_loadu_ps(b + j), xh), _mm512_mul_ps(_mm512_loadu_ps(gm + j), xh)));
                }
            }
            ada_apply_tail(r, y, m, rs, gm, b, nw, nb, j, n);
        });
}

}  // namespace vantrel
