// Adaptive layer normalisation of each of T rows over its C channels:
// out = beta + (x - mean) * (gamma + 1) * rstd, rstd = 1 / sqrt(eps + M2/C)
// with the population variance. The row sums follow the four-lane order of
// norm_rows.h and every multiply and add rounds separately, so every path
// gives the same bits; rows are independent, so splitting them over threads
// changes nothing. Null gamma / beta read as 0.
#pragma once
#include <cstdint>

namespace vantrel {

void k_ada_layer_norm_f32(const float* x, float* out, const float* gamma, const float* beta,
                          int32_t t, int32_t c, void* stream, float eps);
#if defined(__x86_64__)
void k_ada_layer_norm_f32_avx2(const float* x, float* out, const float* gamma, const float* beta,
                               int32_t t, int32_t c, void* stream, float eps);
void k_ada_layer_norm_f32_avx512(const float* x, float* out, const float* gamma,
                                 const float* beta, int32_t t, int32_t c, void* stream, float eps);
#endif
#if defined(__aarch64__)
void k_ada_layer_norm_f32_neon(const float* x, float* out, const float* gamma, const float* beta,
                               int32_t t, int32_t c, void* stream, float eps);
#endif

}  // namespace vantrel
