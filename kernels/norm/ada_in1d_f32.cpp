#include "kernels/norm/ada_in1d_f32.h"

#include "kernels/norm/ada_in1d_f32_loops.h"

namespace vantrel {

void k_ada_in1d_f32(const float* x, float* out, const float* gamma, const float* beta, int32_t t,
                    int32_t c, void*, const float* norm_w, float eps, const float* norm_b) {
    ada_in1d_run(
        x, out, gamma, beta, t, c, norm_w, eps, norm_b,
        [](float* acc, const float* r, int64_t n) { ada_add_tail(acc, r, 0, n); },
        [](float* acc, const float* r, const float* m, int64_t n) { ada_add_sq_tail(acc, r, m, 0, n); },
        [](const float* r, float* y, const float* m, const float* rs, const float* gm, const float* b,
           const float* nw, const float* nb, int64_t n) { ada_apply_tail(r, y, m, rs, gm, b, nw, nb, 0, n); });
}

}  // namespace vantrel
