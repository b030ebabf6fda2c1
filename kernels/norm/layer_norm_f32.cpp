#include "kernels/norm/layer_norm_f32.h"

#include <cmath>

#include "kernels/norm/norm_rows.h"

namespace vantrel {

void k_layer_norm_f32(const float* in, const float* gamma, const float* beta, float* out,
                      int32_t rows, int32_t c, void*, float eps) {
    norm_each_row(in, out, rows, c, [&](const float* x, float* y, int64_t n, float inv_c) {
        const float mean = lane4_sum(x, n) * inv_c;
        const float v = std::fmaf(lane4_sum_sq(x, n, mean), inv_c, eps);
        const float rstd = 1.0f / std::sqrt(v);
        for (int64_t j = 0; j < n; ++j) {
            const float g = gamma ? gamma[j] : 1.0f;
            const float b = beta ? beta[j] : 0.0f;
            y[j] = std::fmaf(rstd * g, x[j] - mean, b);
        }
    });
}

}  // namespace vantrel
