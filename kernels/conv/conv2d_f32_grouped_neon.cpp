#include <arm_neon.h>

#include "kernels/conv/conv2d_f32_grouped.h"
#include "kernels/conv/conv2d_f32_grouped_loops.h"

namespace vantrel {

namespace {
struct GroupedVec4 {
    using T = float32x4_t;
    static constexpr int kLanes = 4, kPix = 8;
    static constexpr bool kCopyInput = false;
    static T zero() { return vdupq_n_f32(0.0f); }
    static T load(const float* p) { return vld1q_f32(p); }
    static T bcast(const float* p) { return vld1q_dup_f32(p); }
    static T fma(T a, T b, T c) { return vfmaq_f32(c, a, b); }
    static T add(T a, T b) { return vaddq_f32(a, b); }
    // Keeps lanes with s > 0; NaN, -0 and negatives become +0.
    static T relu(T s) {
        return vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(s), vcgtq_f32(s, vdupq_n_f32(0.0f))));
    }
    static void store(float* p, T v) { vst1q_f32(p, v); }
    static bool has_group(int64_t cog) { return cog == 2; }
    using M = uint32x4_t;
    static M split(int n) {
        const int32_t lanes[4] = {0, 1, 2, 3};
        return vcgeq_s32(vld1q_s32(lanes), vdupq_n_s32(n));
    }
    static T blend(M m, T a, T b) { return vbslq_f32(m, b, a); }
    // Element CI of each pair of lanes, replicated over the pair (4 lanes
    // per group take the broadcast layout; wider groups never come here).
    template <int CG, int CI>
    static T in_group(T x) {
        if constexpr (CG == 2)
            return CI == 0 ? vtrn1q_f32(x, x) : vtrn2q_f32(x, x);
        else
            return vdupq_laneq_f32(x, CI & 3);
    }
};

using NeonChannels = GroupedVecChannels<GroupedVec4, GroupedScalarChannels>;
}  // namespace

VANTREL_GROUPED_F32_ENTRY_POINT(neon, NeonChannels)

}  // namespace vantrel
