// vexp, recip and vsin (vmath.h) on one Advanced SIMD register: one group of
// 4 lanes, rounding exactly like the one-lane version. aarch64 only.
#pragma once
#include <arm_neon.h>

#include "kernels/simd/lanes_f32_neon.h"
#include "kernels/simd/vmath_lanes.h"

namespace vantrel {
namespace vmath {
namespace {

struct VmathLanesNeon : LanesF32Neon {
    static V min_keep_nan(V z, V c) { return vminq_f32(z, c); }  // FMIN/FMAX propagate NaN
    static V max_keep_nan(V z, V c) { return vmaxq_f32(z, c); }
    // v > acc ? v : acc per lane (a NaN v leaves acc; FMAXNM takes the
    // number, and for equal values either: +0 and -0 may come out either way).
    static V max_skip_nan(V acc, V v) { return vmaxnmq_f32(acc, v); }
    static V round(V v) { return vrndnq_f32(v); }
    // A true division instead of FRECPE, whose estimate differs from x86's,
    // so the refined reciprocal matches every other path bit for bit.
    static V div(V a, V b) { return vdivq_f32(a, b); }
    static V pow2i(V k) {
        const int32x4_t ki = vcvtq_s32_f32(k);  // k is integral; NaN gives 0
        return vreinterpretq_f32_s32(vshlq_n_s32(vaddq_s32(ki, vdupq_n_s32(127)), 23));
    }
    static V negate_if_odd(V y, V k) {
        const uint32x4_t small = vcaltq_f32(k, vdupq_n_f32(kParityLimit));
        const uint32x4_t sign = vandq_u32(vshlq_n_u32(vreinterpretq_u32_s32(vcvtq_s32_f32(k)), 31), small);
        return vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(y), sign));
    }
};

}  // namespace

static inline float32x4_t vexp_neon(float32x4_t z) { return vexp_lanes<VmathLanesNeon>(z); }
static inline float32x4_t recip_neon(float32x4_t d) { return recip_lanes<VmathLanesNeon>(d); }
static inline float32x4_t vsin_neon(float32x4_t x) { return vsin_lanes<VmathLanesNeon>(x); }

}  // namespace vmath
}  // namespace vantrel
