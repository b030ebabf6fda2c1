// Element-wise float product out[i] = a[i] * b[i], i < n. One rounding per
// element on every path, so all agree bit for bit.
#pragma once
#include <cstdint>

namespace vantrel {

void k_mul_f32(const float* a, const float* b, float* out, int32_t n, void* stream);
#if defined(__x86_64__)
void k_mul_f32_avx2(const float* a, const float* b, float* out, int32_t n, void* stream);
void k_mul_f32_avx512(const float* a, const float* b, float* out, int32_t n, void* stream);
#endif
#if defined(__aarch64__)
void k_mul_f32_neon(const float* a, const float* b, float* out, int32_t n, void* stream);
#endif

}  // namespace vantrel
