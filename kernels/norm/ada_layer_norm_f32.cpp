#include "kernels/norm/ada_layer_norm_f32.h"

#include "kernels/norm/ada_layer_norm_f32_loops.h"

namespace vantrel {

namespace {
template <int R>
void stats_portable(const float* x, int64_t r, int64_t c, float inv_c, float eps, float* mean, float* rstd) {
    for (int i = 0; i < R; ++i) {
        const float* row = x + (r + i) * c;
        mean[i] = lane4_sum(row, c) * inv_c;
        rstd[i] = ada_ln_rstd(lane4_sum_sq(row, c, mean[i]), inv_c, eps);
    }
}
}  // namespace

void k_ada_layer_norm_f32(const float* x, float* out, const float* gamma, const float* beta,
                          int32_t t, int32_t c, void*, float eps) {
    ada_layer_norm_run(x, out, gamma, beta, t, c, eps, &stats_portable<4>, &stats_portable<1>,
                       [](const float* r, float* y, float m, float rs, const float* g1, const float* b,
                          int64_t n) { ada_ln_apply_tail(r, y, m, rs, g1, b, 0, n); });
}

}  // namespace vantrel
