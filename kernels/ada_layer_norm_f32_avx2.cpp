#include <immintrin.h>

#include "kernels/ada_layer_norm_f32.h"
#include "kernels/ada_layer_norm_f32_loops.h"
#include "kernels/norm_rows_x86.h"

namespace vantrel {

namespace {
template <int R>
void stats_avx2(const float* x, int64_t r, int64_t c, float inv_c, float eps, float* mean, float* rstd) {
    const float* rows[R];
    float sq[R];
    for (int i = 0; i < R; ++i) rows[i] = x + (r + i) * c;
    lane4_sums_x86<R, false>(rows, c, nullptr, mean);
    for (int i = 0; i < R; ++i) mean[i] = mean[i] * inv_c;
    lane4_sums_x86<R, true>(rows, c, mean, sq);
    for (int i = 0; i < R; ++i) rstd[i] = ada_ln_rstd(sq[i], inv_c, eps);
}
}  // namespace

void k_ada_layer_norm_f32_avx2(const float* x, float* out, const float* gamma, const float* beta,
                             int32_t t, int32_t c, void*, float eps) {
    ada_layer_norm_run(x, out, gamma, beta, t, c, eps, &stats_avx2<4>, &stats_avx2<1>,
                       [](const float* r, float* y, float m, float rs, const float* g1, const float* b,
                          int64_t n) {
                           constexpr int64_t W = 8;
                           const __m256 vm = _mm256_set1_ps(m), vr = _mm256_set1_ps(rs);
                           int64_t j = 0;
                           for (; j + W <= n; j += W) {
                               const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(r + j), vm);
                               _mm256_storeu_ps(y + j, _mm256_add_ps(_mm256_loadu_ps(b + j), _mm256_mul_ps(_mm256_mul_ps(d, _mm256_loadu_ps(g1 + j)), vr)));
                           }
                           ada_ln_apply_tail(r, y, m, rs, g1, b, j, n);
                       });
}

}  // namespace vantrel
