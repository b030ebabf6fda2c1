#include "kernels/norm/rms_norm_f32.h"
#include "kernels/norm/norm_f32_loops.h"
#include "kernels/norm/norm_rows_neon.h"

namespace vantrel {

void k_rms_norm_f32_neon(const float* in, const float* gamma, float* out, int32_t rows, int32_t c,
                         void*, float eps) {
    rms_norm_lanes<Lanes4Neon, LanesF32Neon>(in, gamma, out, rows, c, eps);
}

}  // namespace vantrel
