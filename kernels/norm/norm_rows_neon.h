// The four-lane register of lane4_sums (norm_rows.h) for the Advanced SIMD
// normalisation kernels.
#pragma once
#include <arm_neon.h>

#include "kernels/simd/lanes_f32_neon.h"

namespace vantrel {
namespace {

struct Lanes4Neon : LanesF32Neon {
    // (l0 + l1) + (l2 + l3).
    static float pairwise(V v) {
        const float32x2_t p = vpadd_f32(vget_low_f32(v), vget_high_f32(v));
        return vget_lane_f32(p, 0) + vget_lane_f32(p, 1);
    }
};

}  // namespace
}  // namespace vantrel
