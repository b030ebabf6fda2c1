#include "kernels/attention/causal_attention_f32.h"
#include "kernels/attention/causal_attention_f32_loops.h"
#include "kernels/simd/lanes_f32_neon.h"

namespace vantrel {

namespace {

struct CausalLanesNeon : LanesF32Neon {
    // Lanes 0..3 in a[0], 4..7 in a[1]: ((l0+l1)+(l2+l3)) + ((l4+l5)+(l6+l7)).
    static float hsum8(const V* a) {
        const float32x4_t p = vpaddq_f32(a[0], a[1]);
        const float32x4_t p2 = vpaddq_f32(p, p);
        return vgetq_lane_f32(p2, 0) + vgetq_lane_f32(p2, 1);
    }
};

}  // namespace

void k_causal_attention_f32_neon(const float* q, const float* k, const float* v, float* kv_cache,
                                 int32_t cache_position, int32_t capacity, float* out,
                                 int32_t tokens, float rope_theta, int32_t num_q_heads,
                                 int32_t num_kv_heads, int32_t head_dim, int32_t rope_position,
                                 uint8_t /*cache_flag*/, float* work, void* /*stream*/) {
    causal_attention_run<CausalOpsLanes<CausalLanesNeon>>(q, k, v, kv_cache, cache_position, capacity, out,
                                                          tokens, rope_theta, num_q_heads, num_kv_heads,
                                                          head_dim, rope_position, work);
}

}  // namespace vantrel
