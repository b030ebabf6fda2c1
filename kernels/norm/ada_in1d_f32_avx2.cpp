#include "kernels/norm/ada_in1d_f32.h"
#include "kernels/norm/ada_in1d_f32_loops.h"
#include "kernels/simd/lanes_f32_avx2.h"

namespace vantrel {

void k_ada_in1d_f32_avx2(const float* x, float* out, const float* gamma, const float* beta,
                         int32_t t, int32_t c, void*, const float* norm_w, float eps,
                         const float* norm_b) {
    ada_in1d_lanes<LanesF32Avx2>(x, out, gamma, beta, t, c, norm_w, eps, norm_b);
}

}  // namespace vantrel
