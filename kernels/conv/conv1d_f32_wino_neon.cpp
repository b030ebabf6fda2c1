#include "kernels/conv/conv1d_f32_wino.h"
#include "kernels/conv/conv1d_f32_wino_loops.h"
#include "kernels/simd/lanes_f32_neon.h"

namespace vantrel {

namespace {
struct NeonOps : LanesF32Neon {
    // Keeps lanes with s > 0; NaN, -0 and negatives become +0.
    static V relu(V s) {
        return vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(s), vcgtq_f32(s, vdupq_n_f32(0.0f))));
    }
};
}  // namespace

void conv1d_f32_wino_neon(VANTREL_CONV1D_WINO_F32_ARGS) {
    conv1d_wino_run<NeonOps>(padded, u, bias, out, cin, l_out, cout, r, relu, v, mb);
}

}  // namespace vantrel
