// Activation kernels on sixteen lanes: four groups of 4 per register, the
// last one to three groups under a mask, then the scalar tail (activation.h).
// GCC 12 flags the deliberately undefined pass-through operands inside its
// AVX-512 intrinsic headers as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "kernels/elementwise/activation.h"
#include "kernels/elementwise/activation_loops.h"
#include "kernels/simd/lanes_f32_avx512.h"
#include "kernels/simd/vmath_avx512.h"

namespace vantrel {

namespace {
struct ActLanesAvx512 : LanesF32Avx512 {
    static V exp(V v) { return vmath::vexp_avx512(v); }
    static V recip(V v) { return vmath::recip_avx512(v); }
    static V sin(V v) { return vmath::vsin_avx512(v); }
    static V neg(V v) { return _mm512_xor_ps(v, _mm512_set1_ps(-0.0f)); }
    static V leaky(V v, V a) {
        return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_GE_OQ), _mm512_mul_ps(a, v), v);
    }
};
using Act = ActivationLanes<ActLanesAvx512>;
}  // namespace

void k_leaky_relu_f32_avx512(const float* x, float* y, int32_t n, void*, float alpha) { Act::leaky_relu(x, y, n, alpha); }
void k_exp_f32_avx512(const float* x, float* y, int32_t n, void*) { Act::exp(x, y, n); }
void k_sin_f32_avx512(const float* x, float* y, int32_t n, void*) { Act::sin(x, y, n); }
void k_sigmoid_f32_avx512(const float* x, float* y, int32_t n, void*) { Act::sigmoid(x, y, n); }
void k_tanh_f32_avx512(const float* x, float* y, int32_t n, void*) { Act::tanh(x, y, n); }
void k_gelu_f32_avx512(float* x, int32_t n, void*) { Act::gelu(x, n); }
void k_silu_f32_avx512(const float* x, float* y, int32_t n, void*) { Act::silu(x, y, n); }

}  // namespace vantrel
