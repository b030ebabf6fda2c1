// Float activations without the group/tail split of activation.h: clamp
// (ReLU6, hardtanh), hard swish, hard sigmoid and exact (erf) GELU. Every
// element, tail included, follows one formula of single-rounded IEEE
// operations (activation_ungrouped_loops.h), so the portable and vector
// paths give the same bits for every n.
#pragma once
#include <cstdint>

namespace vantrel {

void k_clamp_f32(const float* x, float* y, int32_t n, void* stream, float lo, float hi);
void k_hard_swish_f32(const float* x, float* y, int32_t n, void* stream);
void k_hard_sigmoid_f32(const float* x, float* y, int32_t n, void* stream);
void k_gelu_erf_f32(const float* x, float* y, int32_t n, void* stream);

#if defined(__x86_64__)
void k_clamp_f32_avx2(const float* x, float* y, int32_t n, void* stream, float lo, float hi);
void k_hard_swish_f32_avx2(const float* x, float* y, int32_t n, void* stream);
void k_hard_sigmoid_f32_avx2(const float* x, float* y, int32_t n, void* stream);
void k_gelu_erf_f32_avx2(const float* x, float* y, int32_t n, void* stream);
void k_clamp_f32_avx512(const float* x, float* y, int32_t n, void* stream, float lo, float hi);
void k_hard_swish_f32_avx512(const float* x, float* y, int32_t n, void* stream);
void k_hard_sigmoid_f32_avx512(const float* x, float* y, int32_t n, void* stream);
void k_gelu_erf_f32_avx512(const float* x, float* y, int32_t n, void* stream);
#endif
#if defined(__aarch64__)
void k_clamp_f32_neon(const float* x, float* y, int32_t n, void* stream, float lo, float hi);
void k_hard_swish_f32_neon(const float* x, float* y, int32_t n, void* stream);
void k_hard_sigmoid_f32_neon(const float* x, float* y, int32_t n, void* stream);
void k_gelu_erf_f32_neon(const float* x, float* y, int32_t n, void* stream);
#endif

namespace act {

// Exact GELU as x * Phi(x). With a = |x| / sqrt(2) and t = 1 / (1 + a/2),
// erfc(a) = t * exp(P(t) - a*a), P a degree-9 polynomial fitted (least
// squares on Chebyshev nodes, then rounded to float) to
// log(erfc(a) / t) + a*a over a in [0, 9.5]; beyond that exp underflows to
// 0 anyway. Its relative error in erfc is about 1e-7. a*a enters as the
// exactly scaled x * (x/2) inside one fused step, so large |x| lose no bits
// there. Phi(-|x|) = erfc(a) / 2 and Phi(|x|) = 1 - Phi(-|x|).
constexpr float kRsqrt2 = 0.707106769f;
constexpr float kErfcP[10] = {-1.26543343f, 0.998341441f, 0.389117151f, 0.022874143f,   0.0354678631f,
                              -0.144173503f, -0.619523346f, 1.09943843f, -0.656615853f, 0.140507132f};

}  // namespace act
}  // namespace vantrel
