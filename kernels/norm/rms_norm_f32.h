// RMS normalisation of each of `rows` rows over its c features:
// y = (x * gamma) * r with r = 1 / sqrt(Σx² / c + eps). The sum follows the
// order of norm_rows.h, so every path gives the same bits. A null gamma reads
// as ones. In place (in == out) is allowed.
#pragma once
#include <cstdint>

namespace vantrel {

void k_rms_norm_f32(const float* in, const float* gamma, float* out, int32_t rows, int32_t c,
                    void* stream, float eps);
#if defined(__x86_64__)
void k_rms_norm_f32_avx2(const float* in, const float* gamma, float* out, int32_t rows, int32_t c,
                         void* stream, float eps);
void k_rms_norm_f32_avx512(const float* in, const float* gamma, float* out, int32_t rows,
                           int32_t c, void* stream, float eps);
#endif
#if defined(__aarch64__)
void k_rms_norm_f32_neon(const float* in, const float* gamma, float* out, int32_t rows, int32_t c,
                         void* stream, float eps);
#endif

}  // namespace vantrel
