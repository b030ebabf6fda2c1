#include "kernels/norm/ada_layer_norm_f32.h"
#include "kernels/norm/ada_layer_norm_f32_loops.h"
#include "kernels/simd/lanes_f32_avx2.h"
#include "kernels/norm/norm_rows_x86.h"

namespace vantrel {

void k_ada_layer_norm_f32_avx2(const float* x, float* out, const float* gamma, const float* beta,
                               int32_t t, int32_t c, void*, float eps) {
    ada_layer_norm_lanes<Lanes4Sse, LanesF32Avx2>(x, out, gamma, beta, t, c, eps);
}

}  // namespace vantrel
