// Activation kernels on Advanced SIMD: one group of 4 per register, then
// the scalar tail (activation.h).
#include "kernels/elementwise/activation.h"
#include "kernels/elementwise/activation_loops.h"
#include "kernels/simd/lanes_f32_neon.h"
#include "kernels/simd/vmath_neon.h"

namespace vantrel {

namespace {
struct ActLanesNeon : LanesF32Neon {
    static V exp(V v) { return vmath::vexp_neon(v); }
    static V recip(V v) { return vmath::recip_neon(v); }
    static V sin(V v) { return vmath::vsin_neon(v); }
    static V neg(V v) { return vnegq_f32(v); }
    static V leaky(V v, V a) { return vbslq_f32(vcgeq_f32(v, vdupq_n_f32(0.0f)), v, vmulq_f32(a, v)); }
};
using Act = ActivationLanes<ActLanesNeon>;
}  // namespace

void k_leaky_relu_f32_neon(const float* x, float* y, int32_t n, void*, float alpha) { Act::leaky_relu(x, y, n, alpha); }
void k_exp_f32_neon(const float* x, float* y, int32_t n, void*) { Act::exp(x, y, n); }
void k_sin_f32_neon(const float* x, float* y, int32_t n, void*) { Act::sin(x, y, n); }
void k_sigmoid_f32_neon(const float* x, float* y, int32_t n, void*) { Act::sigmoid(x, y, n); }
void k_tanh_f32_neon(const float* x, float* y, int32_t n, void*) { Act::tanh(x, y, n); }
void k_gelu_f32_neon(float* x, int32_t n, void*) { Act::gelu(x, n); }
void k_silu_f32_neon(const float* x, float* y, int32_t n, void*) { Act::silu(x, y, n); }

}  // namespace vantrel
