// Scales each channel of `rows` rows of c channels by its own factor:
// y[r*c + j] = x[r*c + j] * s[j] (the excitation step of squeeze-and-
// excitation blocks). One multiply per element, so every path gives the same
// bits. y may alias x.
#pragma once
#include <cstdint>

namespace vantrel {

void k_channel_mul_f32(const float* x, const float* s, float* y, int32_t rows, int32_t c, void* stream);
#if defined(__x86_64__)
void k_channel_mul_f32_avx2(const float* x, const float* s, float* y, int32_t rows, int32_t c, void* stream);
void k_channel_mul_f32_avx512(const float* x, const float* s, float* y, int32_t rows, int32_t c, void* stream);
#endif
#if defined(__aarch64__)
void k_channel_mul_f32_neon(const float* x, const float* s, float* y, int32_t rows, int32_t c, void* stream);
#endif

}  // namespace vantrel
