// Attention core on Advanced SIMD: four keys per register for the scores,
// four features per register for the weighted values.
#include "kernels/attention/attention_core.h"
#include "kernels/attention/attention_core_loops.h"
#include "kernels/simd/lanes_f32_neon.h"
#include "kernels/simd/vmath_neon.h"

namespace vantrel {

namespace {
struct AttentionLanesNeon : LanesF32Neon {
    static V exp(V x) { return vmath::vexp_neon(x); }
};
}  // namespace

void attention_core_f32_neon(const float* qkv, float* out, int32_t tokens, int32_t embed,
                             int32_t num_heads) {
    attention_core_run<AttentionOpsLanes<AttentionLanesNeon>>(qkv, out, tokens, embed, num_heads);
}

}  // namespace vantrel
