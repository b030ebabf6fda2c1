// vexp, recip and vsin (vmath.h) on one Advanced SIMD register: one group of
// 4 lanes, rounding exactly like the one-lane version. aarch64 only.
#pragma once
#include <arm_neon.h>

#include "kernels/vmath.h"

namespace vantrel {
namespace vmath {

static inline float32x4_t vexp_neon(float32x4_t z) {
    z = vminq_f32(z, vdupq_n_f32(kExpHi));  // FMIN/FMAX propagate NaN
    z = vmaxq_f32(z, vdupq_n_f32(kExpLo));
    float32x4_t k = vrndnq_f32(vmulq_f32(z, vdupq_n_f32(kLog2e)));
    float32x4_t r = vfmsq_f32(z, k, vdupq_n_f32(kLn2Hi));
    r = vfmsq_f32(r, k, vdupq_n_f32(kLn2Lo));
    float32x4_t p = vdupq_n_f32(kExpP0);
    p = vfmaq_f32(vdupq_n_f32(kExpP1), p, r);
    p = vfmaq_f32(vdupq_n_f32(kExpP2), p, r);
    p = vfmaq_f32(vdupq_n_f32(kExpP3), p, r);
    p = vfmaq_f32(vdupq_n_f32(kExpP4), p, r);
    p = vfmaq_f32(vdupq_n_f32(kExpP5), p, r);
    p = vfmaq_f32(vdupq_n_f32(kExpP6), p, r);
    p = vfmaq_f32(vdupq_n_f32(kExpP7), p, r);
    int32x4_t ki = vcvtq_s32_f32(k);  // k is integral; NaN gives 0
    int32x4_t e = vshlq_n_s32(vaddq_s32(ki, vdupq_n_s32(127)), 23);
    return vmulq_f32(p, vreinterpretq_f32_s32(e));
}

static inline float32x4_t recip_step_neon(float32x4_t d, float32x4_t r) {
    return vmulq_f32(r, vsubq_f32(vdupq_n_f32(2.0f), vmulq_f32(d, r)));
}

// A true division instead of FRECPE, whose estimate differs from x86's, so
// the refined value matches every other path bit for bit.
static inline float32x4_t recip_neon(float32x4_t d) {
    float32x4_t r0 = vdivq_f32(vdupq_n_f32(1.0f), d);
    return recip_step_neon(d, recip_step_neon(d, r0));
}

static inline float32x4_t vsin_neon(float32x4_t x) {
    float32x4_t k = vrndnq_f32(vmulq_f32(x, vdupq_n_f32(kInvPi)));
    float32x4_t r = vsubq_f32(x, vmulq_f32(k, vdupq_n_f32(kPi)));
    float32x4_t q = vmulq_f32(r, r);
    float32x4_t p = vdupq_n_f32(kSinP0);
    p = vaddq_f32(vmulq_f32(p, q), vdupq_n_f32(kSinP1));
    p = vaddq_f32(vmulq_f32(p, q), vdupq_n_f32(kSinP2));
    p = vaddq_f32(vmulq_f32(p, q), vdupq_n_f32(kSinP3));
    p = vaddq_f32(vmulq_f32(p, q), vdupq_n_f32(kSinP4));
    float32x4_t y = vmulq_f32(r, p);
    uint32x4_t small = vcaltq_f32(k, vdupq_n_f32(kParityLimit));
    uint32x4_t sign = vandq_u32(vshlq_n_u32(vreinterpretq_u32_s32(vcvtq_s32_f32(k)), 31), small);
    return vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(y), sign));
}

}  // namespace vmath
}  // namespace vantrel
