// Snake activation over T rows of C channels:
// out = x + inv_alpha[c] * s * s with s = vsin(alpha[c] * x), the polynomial
// sine of vmath.h for every element (no library tail). A null alpha reads
// as 1 (s = vsin(x)), a null inv_alpha as 1. Rows are split over threads;
// each element is computed alone, so every path and thread count gives the
// same bits.
#pragma once
#include <cstdint>

namespace vantrel {

void k_snake_f32(const float* x, float* out, const float* alpha, const float* inv_alpha,
                 int32_t t, int32_t c, void* stream);
#if defined(__x86_64__)
void k_snake_f32_avx2(const float* x, float* out, const float* alpha, const float* inv_alpha,
                      int32_t t, int32_t c, void* stream);
void k_snake_f32_avx512(const float* x, float* out, const float* alpha, const float* inv_alpha,
                        int32_t t, int32_t c, void* stream);
#endif
#if defined(__aarch64__)
void k_snake_f32_neon(const float* x, float* out, const float* alpha, const float* inv_alpha,
                      int32_t t, int32_t c, void* stream);
#endif

}  // namespace vantrel
