// Attention core on AVX-512: sixteen keys per register for the scores,
// sixteen features per register for the weighted values; eight query rows
// at a time, their scores four at a time.
#include "kernels/attention/attention_core.h"
#include "kernels/attention/attention_core_loops.h"
#include "kernels/simd/vmath_avx512.h"

namespace vantrel {

void attention_core_f32_avx512(const float* qkv, float* out, int32_t tokens, int32_t embed, int32_t num_heads,
                               const float* key_mask) {
    attention_core_run<AttentionOpsLanes<vmath::VmathLanesAvx512, 8, 4>>(qkv, out, tokens, embed, num_heads, key_mask);
}

void attention_head_f32_avx512(const float* q, const float* k, const float* v, int64_t ld, float* out, int64_t ldo,
                        int32_t tokens, int32_t d, const float* key_mask) {
    attention_one_head<AttentionOpsLanes<vmath::VmathLanesAvx512, 8, 4>>(q, k, v, ld, out, ldo, tokens, d, key_mask);
}

}  // namespace vantrel
