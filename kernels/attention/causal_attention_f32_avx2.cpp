#include "kernels/attention/causal_attention_f32.h"
#include "kernels/attention/causal_attention_f32_loops.h"
#include "kernels/attention/causal_attention_lanes_avx2.h"

namespace vantrel {

void k_causal_attention_f32_avx2(const float* q, const float* k, const float* v, float* kv_cache,
                                 int32_t cache_position, int32_t capacity, float* out,
                                 int32_t tokens, float rope_theta, int32_t num_q_heads,
                                 int32_t num_kv_heads, int32_t head_dim, int32_t rope_position,
                                 uint8_t /*cache_flag*/, float* work, void* /*stream*/) {
    causal_attention_run<CausalOpsLanes<CausalLanesAvx2>>(q, k, v, kv_cache, cache_position, capacity, out,
                                                          tokens, rope_theta, num_q_heads, num_kv_heads,
                                                          head_dim, rope_position, work);
}

}  // namespace vantrel
