// Single-token product with int8 weights: the activation row x[K] is
// quantised symmetrically (scale sx), each output is one 32-bit integer dot
// product with an int8 weight row, then
//   y[n] = (sx * scale[n]) * (float)acc[n] (+ bias[n]),
// in exactly that order of single-precision operations.
//
// q holds N plain rows of K bytes (row stride K). The integer sums wrap
// modulo 2^32 and are the same on every path (only the grouping of the
// additions differs), and the float epilogue is scalar and shared, so all
// paths agree bit for bit whatever the thread count.
#pragma once
#include <cstdint>

namespace vantrel {

// Sum of a[i] * b[i] over i < k, wrapping modulo 2^32.
using DotS8Fn = int32_t (*)(const int8_t* a, const int8_t* b, int64_t k);

// Shared driver: quantises x into this thread's buffer, splits the N rows
// over an OpenMP team (one thread inside a parallel region) and finishes
// each row with `dot`.
void seq_gemm_f32_alt_rows(const float* x, const int8_t* q, const float* scale, const float* bias,
                           float* y, int32_t k, int32_t n, DotS8Fn dot);

// Per-path kernels (the KSeqGemmF32Alt slot signature).
void k_seq_gemm_f32_alt(const float* x, const int8_t* q, const float* scale, const float* bias,
                        float* y, int32_t k, int32_t n, void* stream);
#if defined(__x86_64__)
void k_seq_gemm_f32_alt_avx2(const float* x, const int8_t* q, const float* scale,
                             const float* bias, float* y, int32_t k, int32_t n, void* stream);
void k_seq_gemm_f32_alt_avx512(const float* x, const int8_t* q, const float* scale,
                               const float* bias, float* y, int32_t k, int32_t n, void* stream);
#endif
#if defined(__aarch64__)
void k_seq_gemm_f32_alt_neon(const float* x, const int8_t* q, const float* scale,
                             const float* bias, float* y, int32_t k, int32_t n, void* stream);
#endif

}  // namespace vantrel
