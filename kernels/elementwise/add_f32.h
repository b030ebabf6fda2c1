// Element-wise float addition, optionally followed by ReLU. With ReLU, whole
// groups of 4 take the vector maximum with 0 (a NaN sum stays NaN, -0
// becomes +0); the last n mod 4 elements keep a sum that is >= 0 or NaN and
// write 0 otherwise (so a -0 sum stays -0 there).
#pragma once
#include <cstdint>

namespace vantrel {

void k_add_f32(const float* a, const float* b, float* out, int32_t n, bool relu, void* stream);
#if defined(__x86_64__)
void k_add_f32_avx2(const float* a, const float* b, float* out, int32_t n, bool relu, void* stream);
void k_add_f32_avx512(const float* a, const float* b, float* out, int32_t n, bool relu, void* stream);
#endif
#if defined(__aarch64__)
void k_add_f32_neon(const float* a, const float* b, float* out, int32_t n, bool relu, void* stream);
#endif

namespace add_f32 {
// ReLU of a group lane: the Advanced SIMD FMAX(s, 0) rule.
static inline float relu_group(float s) { return (s > 0.0f || s != s) ? s : 0.0f; }
// ReLU of a tail element.
static inline float relu_tail(float s) { return (s >= 0.0f || s != s) ? s : 0.0f; }
}  // namespace add_f32

}  // namespace vantrel
