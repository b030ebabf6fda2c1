// Float activation kernels: leaky ReLU, exp, sin, sigmoid, tanh, GELU (in
// place) and SiLU. Whole groups of 4 elements use the polynomial vexp, recip
// and vsin of vmath.h; the last n mod 4 elements use the math library and
// true divisions, so a tail element can differ in its last bits from what a
// group would give. Wider vector paths process several groups per register
// and round exactly like the portable one.
#pragma once
#include <math.h>

#include <cstdint>

#include "kernels/simd/vmath.h"

namespace vantrel {

void k_leaky_relu_f32(const float* x, float* y, int32_t n, void* stream, float alpha);
void k_exp_f32(const float* x, float* y, int32_t n, void* stream);
void k_sin_f32(const float* x, float* y, int32_t n, void* stream);
void k_sigmoid_f32(const float* x, float* y, int32_t n, void* stream);
void k_tanh_f32(const float* x, float* y, int32_t n, void* stream);
void k_gelu_f32(float* x, int32_t n, void* stream);
void k_silu_f32(const float* x, float* y, int32_t n, void* stream);

#if defined(__x86_64__)
void k_leaky_relu_f32_avx2(const float* x, float* y, int32_t n, void* stream, float alpha);
void k_exp_f32_avx2(const float* x, float* y, int32_t n, void* stream);
void k_sin_f32_avx2(const float* x, float* y, int32_t n, void* stream);
void k_sigmoid_f32_avx2(const float* x, float* y, int32_t n, void* stream);
void k_tanh_f32_avx2(const float* x, float* y, int32_t n, void* stream);
void k_gelu_f32_avx2(float* x, int32_t n, void* stream);
void k_silu_f32_avx2(const float* x, float* y, int32_t n, void* stream);
void k_leaky_relu_f32_avx512(const float* x, float* y, int32_t n, void* stream, float alpha);
void k_exp_f32_avx512(const float* x, float* y, int32_t n, void* stream);
void k_sin_f32_avx512(const float* x, float* y, int32_t n, void* stream);
void k_sigmoid_f32_avx512(const float* x, float* y, int32_t n, void* stream);
void k_tanh_f32_avx512(const float* x, float* y, int32_t n, void* stream);
void k_gelu_f32_avx512(float* x, int32_t n, void* stream);
void k_silu_f32_avx512(const float* x, float* y, int32_t n, void* stream);
#endif
#if defined(__aarch64__)
void k_leaky_relu_f32_neon(const float* x, float* y, int32_t n, void* stream, float alpha);
void k_exp_f32_neon(const float* x, float* y, int32_t n, void* stream);
void k_sin_f32_neon(const float* x, float* y, int32_t n, void* stream);
void k_sigmoid_f32_neon(const float* x, float* y, int32_t n, void* stream);
void k_tanh_f32_neon(const float* x, float* y, int32_t n, void* stream);
void k_gelu_f32_neon(float* x, int32_t n, void* stream);
void k_silu_f32_neon(const float* x, float* y, int32_t n, void* stream);
#endif

// One element of each activation as a group lane computes it, and as the
// n mod 4 tail computes it. Shared by every path (static: see vmath.h). The
// tails call the C functions expf/sinf/tanhf directly: the std:: float
// overloads are inline C++ functions, whose shared copy could otherwise come
// from a file compiled for a wider instruction set.
namespace act {

constexpr float kGeluCubic = 0.044715f;
constexpr float kGeluScale2 = 1.59576917f;  // 2 * sqrt(2/pi): sigmoid form
constexpr float kGeluScale = 0.7978846f;    // sqrt(2/pi): tanh form

static inline float leaky(float x, float alpha) { return x >= 0.0f ? x : alpha * x; }

static inline float sigmoid_group(float x) { return vmath::recip(1.0f + vmath::vexp(-x)); }
static inline float tanh_group(float x) {
    float d = 1.0f + vmath::vexp(-2.0f * x);
    return 2.0f * vmath::recip(d) - 1.0f;
}
static inline float gelu_group(float x) {
    float u = x + kGeluCubic * ((x * x) * x);
    float d = 1.0f + vmath::vexp(kGeluScale2 * u);
    return x * (1.0f - vmath::recip(d));
}
static inline float silu_group(float x) { return x * vmath::recip(1.0f + vmath::vexp(-x)); }

static inline float exp_tail(float x) { return ::expf(x); }
static inline float sin_tail(float x) { return ::sinf(x); }
static inline float sigmoid_tail(float x) { return 1.0f / (1.0f + ::expf(-x)); }
static inline float tanh_tail(float x) { return ::tanhf(x); }
static inline float gelu_tail(float x) {
    float u = x + (x * x) * (x * kGeluCubic);
    return 0.5f * x * (1.0f + ::tanhf(kGeluScale * u));
}
static inline float silu_tail(float x) { return x / (1.0f + ::expf(-x)); }

}  // namespace act
}  // namespace vantrel
