// Adds one vector v[0..n) to each of `rows` rows of x in place:
// x[r*n + j] += v[j]. One add per element, so every path gives the same bits.
#pragma once
#include <cstdint>

namespace vantrel {

void k_add_row_vector_f32(float* x, const float* v, int32_t rows, int32_t n);
#if defined(__x86_64__)
void k_add_row_vector_f32_avx2(float* x, const float* v, int32_t rows, int32_t n);
void k_add_row_vector_f32_avx512(float* x, const float* v, int32_t rows, int32_t n);
#endif
#if defined(__aarch64__)
void k_add_row_vector_f32_neon(float* x, const float* v, int32_t rows, int32_t n);
#endif

}  // namespace vantrel
