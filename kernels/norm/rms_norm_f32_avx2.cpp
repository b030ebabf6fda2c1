#include "kernels/norm/rms_norm_f32.h"
#include "kernels/simd/lanes_f32_avx2.h"
#include "kernels/norm/norm_f32_loops.h"
#include "kernels/norm/norm_rows_x86.h"

namespace vantrel {

void k_rms_norm_f32_avx2(const float* in, const float* gamma, float* out, int32_t rows, int32_t c,
                         void*, float eps) {
    rms_norm_lanes<Lanes4Sse, LanesF32Avx2>(in, gamma, out, rows, c, eps);
}

}  // namespace vantrel
