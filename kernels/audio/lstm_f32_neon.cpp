// One group of 4 units per step.
#include "kernels/audio/lstm_cell_lanes.h"
#include "kernels/audio/lstm_f32.h"
#include "kernels/simd/vmath_neon.h"

namespace vantrel {

namespace {
inline float32x4_t sig4(float32x4_t x) {
    return vmath::recip_neon(vaddq_f32(vdupq_n_f32(1.0f), vmath::vexp_neon(vnegq_f32(x))));
}
inline float32x4_t tanh4(float32x4_t x) {
    const float32x4_t e = vmath::vexp_neon(vmulq_f32(vdupq_n_f32(-2.0f), x));
    const float32x4_t r = vmath::recip_neon(vaddq_f32(vdupq_n_f32(1.0f), e));
    return vsubq_f32(vmulq_f32(vdupq_n_f32(2.0f), r), vdupq_n_f32(1.0f));
}
inline float32x4_t gate_in(float* z, const float* g, int64_t at) {
    const float32x4_t v = vaddq_f32(vld1q_f32(z + at), vld1q_f32(g + at));
    vst1q_f32(z + at, v);
    return v;
}
}  // namespace

void lstm_cell_f32_neon(VANTREL_LSTM_CELL_F32_ARGS) {
    if (h <= 0) return;
    const int64_t H = h, groups_end = H / 4 * 4;
    for (int64_t j = 0; j < groups_end; j += 4) {
        const float32x4_t i = sig4(gate_in(z, g, j)), f = sig4(gate_in(z, g, H + j));
        const float32x4_t gg = tanh4(gate_in(z, g, 2 * H + j)), o = sig4(gate_in(z, g, 3 * H + j));
        const float32x4_t cn = vaddq_f32(vmulq_f32(f, vld1q_f32(c + j)), vmulq_f32(i, gg));
        vst1q_f32(c + j, cn);
        vst1q_f32(hs + j, vmulq_f32(o, tanh4(cn)));
    }
    lstm_lane::tail_units(z, g, c, hs, H, groups_end);
}

}  // namespace vantrel
