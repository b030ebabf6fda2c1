#include "kernels/attention/causal_attention_f32.h"
#include "kernels/attention/causal_attention_f32_loops.h"
#include "kernels/simd/lanes_f32_avx2.h"

namespace vantrel {

namespace {

struct CausalLanesAvx2 : LanesF32Avx2 {
    // ((l0+l1)+(l2+l3)) + ((l4+l5)+(l6+l7)), the order of the portable lanes.
    static float hsum8(const V* a) {
        const __m256 h = _mm256_hadd_ps(a[0], a[0]);
        const __m256 h2 = _mm256_hadd_ps(h, h);
        return _mm_cvtss_f32(_mm256_castps256_ps128(h2)) + _mm_cvtss_f32(_mm256_extractf128_ps(h2, 1));
    }
};

}  // namespace

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
