// Activation kernels on eight lanes: two groups of 4 per register, a lone
// last group in a partial register, then the scalar tail (activation.h).
#include "kernels/elementwise/activation.h"
#include "kernels/elementwise/activation_loops.h"
#include "kernels/simd/lanes_f32_avx2.h"
#include "kernels/simd/vmath_avx2.h"

namespace vantrel {

namespace {
struct ActLanesAvx2 : LanesF32Avx2 {
    static V exp(V v) { return vmath::vexp_avx2(v); }
    static V recip(V v) { return vmath::recip_avx2(v); }
    static V sin(V v) { return vmath::vsin_avx2(v); }
    static V neg(V v) { return _mm256_xor_ps(v, _mm256_set1_ps(-0.0f)); }
    static V leaky(V v, V a) {
        return _mm256_blendv_ps(_mm256_mul_ps(a, v), v, _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GE_OQ));
    }
};
using Act = ActivationLanes<ActLanesAvx2>;
}  // namespace

void k_leaky_relu_f32_avx2(const float* x, float* y, int32_t n, void*, float alpha) { Act::leaky_relu(x, y, n, alpha); }
void k_exp_f32_avx2(const float* x, float* y, int32_t n, void*) { Act::exp(x, y, n); }
void k_sin_f32_avx2(const float* x, float* y, int32_t n, void*) { Act::sin(x, y, n); }
void k_sigmoid_f32_avx2(const float* x, float* y, int32_t n, void*) { Act::sigmoid(x, y, n); }
void k_tanh_f32_avx2(const float* x, float* y, int32_t n, void*) { Act::tanh(x, y, n); }
void k_gelu_f32_avx2(float* x, int32_t n, void*) { Act::gelu(x, n); }
void k_silu_f32_avx2(const float* x, float* y, int32_t n, void*) { Act::silu(x, y, n); }

}  // namespace vantrel
