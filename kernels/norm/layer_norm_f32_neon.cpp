#include "kernels/norm/layer_norm_f32.h"
#include "kernels/norm/norm_f32_loops.h"
#include "kernels/norm/norm_rows_neon.h"

namespace vantrel {

void k_layer_norm_f32_neon(const float* in, const float* gamma, const float* beta, float* out,
                           int32_t rows, int32_t c, void*, float eps) {
    layer_norm_lanes<Lanes4Neon, LanesF32Neon>(in, gamma, beta, out, rows, c, eps);
}

}  // namespace vantrel
