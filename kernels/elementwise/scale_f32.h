// Multiplication by a constant: y[i] = x[i] * scalar.
#pragma once
#include <cstdint>

namespace vantrel {

void k_scale_f32(const float* x, float* y, int32_t n, void* stream, float scalar);
#if defined(__x86_64__)
void k_scale_f32_avx2(const float* x, float* y, int32_t n, void* stream, float scalar);
void k_scale_f32_avx512(const float* x, float* y, int32_t n, void* stream, float scalar);
#endif
#if defined(__aarch64__)
void k_scale_f32_neon(const float* x, float* y, int32_t n, void* stream, float scalar);
#endif

}  // namespace vantrel
