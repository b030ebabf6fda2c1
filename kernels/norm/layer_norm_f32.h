// Layer normalisation of each of `rows` rows over its c features:
// y = (rstd * gamma) * (x - mean) + beta with the population variance and
// eps inside the square root. The sums follow the order of norm_rows.h, so
// every path gives the same bits. A null gamma reads as ones, a null beta as
// zeros. In place (in == out) is allowed.
#pragma once
#include <cstdint>

namespace vantrel {

void k_layer_norm_f32(const float* in, const float* gamma, const float* beta, float* out,
                      int32_t rows, int32_t c, void* stream, float eps);
#if defined(__x86_64__)
void k_layer_norm_f32_avx2(const float* in, const float* gamma, const float* beta, float* out,
                           int32_t rows, int32_t c, void* stream, float eps);
void k_layer_norm_f32_avx512(const float* in, const float* gamma, const float* beta, float* out,
                             int32_t rows, int32_t c, void* stream, float eps);
#endif
#if defined(__aarch64__)
void k_layer_norm_f32_neon(const float* in, const float* gamma, const float* beta, float* out,
                           int32_t rows, int32_t c, void* stream, float eps);
#endif

}  // namespace vantrel
