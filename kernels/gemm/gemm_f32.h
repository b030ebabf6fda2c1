// Single-precision GEMM engine: Y[M][N] = A[M][K] * W[N][K]^T (+ bias, ReLU)
// with W packed once at load time.
//
// Every output is summed from 0 in increasing k, one fused multiply-add per
// term, then the bias is added and ReLU applied. All paths keep that order,
// so they agree bit for bit whatever their tiling or thread count (for
// finite inputs; a NaN input gives a NaN sum on every path, but its payload
// may differ).
//
// ReLU, in the engine's epilogue and in relu_f32 alike, is x > 0 ? x : +0 on
// every path: NaN becomes +0 and -0 becomes +0.
//
// The packed layout belongs to the path: the portable and Arm paths use
// 4-column panels (element (p, k, j) at (p*K + k)*4 + j, zero-padded); the
// AVX2 and AVX-512 paths use 16-column panels ((p*K + k)*16 + j). A block
// must only be given to the GEMM of the path that packed it;
// pack_f32/gemm_f32/packed_f32_bytes below always agree because all call
// through the CPU kernel table (kernels/cpu_kernels.h), filled for one path.
// Every path allocates with new float[] and releases with delete[], so
// free_packed_f32 serves all of them.
#pragma once
#include <cstdint>

#include "kernels/gemm/gemm_f32_epilogue.h"

namespace vantrel {

// Entry points, through the CPU kernel table (the variants the Backend holds).
float* pack_f32(const float* w, int32_t n, int32_t k);
// Packed blocks start on a 64-byte line, so no 512-bit load of a panel
// straddles two lines. alloc_packed_f32 returns `count` zeroed floats.
float* alloc_packed_f32(uint64_t count);
void free_packed_f32(float* bp);
// Bytes of the block pack_f32(w, n, k) returns.
uint64_t packed_f32_bytes(int32_t n, int32_t k);
void gemm_f32(const float* a, const float* bp, const float* bias, float* y, bool relu, int32_t m,
              int32_t k, int32_t n, bool in_team);
void gemm_f32_plain(const float* a, const float* bp, float* y, int32_t m, int32_t k, int32_t n);
// gemm_f32 followed, on each tile while it is in cache, by `epi` (null: none).
void gemm_f32_epi(const float* a, const float* bp, const float* bias, float* y, bool relu, int32_t m,
                  int32_t k, int32_t n, bool in_team, const ConvEpilogueF32* epi);
void linear_f32(const float* x, const float* w, const float* bias, float* y, int32_t k, int32_t n,
                const float* bp, void* stream);
// A convolution's product read in place, serially: row r of A is k floats
// taken as k / seg_len runs of seg_len, run s at a + r*lda + s*seg_stride
// (a channels-last input's window: rows are output pixels along one output
// row, runs are kernel rows). Results equal gemm_f32_epi on the gathered
// rows bit for bit. Only some paths have it: the table entry is null
// elsewhere (kernels/cpu_kernels.h), and callers gather the rows instead.
using GemmF32RowsFn = void (*)(const float* a, int64_t lda, int64_t seg_len, int64_t seg_stride,
                               const float* bp, const float* bias, float* y, bool relu, int32_t m,
                               int32_t k, int32_t n, const ConvEpilogueF32* epi);
void relu_f32(float* x, int32_t n, void* stream);

// Per-path variants, for the kernel table and for tests comparing paths.
float* pack_f32_portable(const float* w, int32_t n, int32_t k);
uint64_t packed_f32_bytes_portable(int32_t n, int32_t k);
void gemm_f32_portable(const float* a, const float* bp, const float* bias, float* y, bool relu,
                       int32_t m, int32_t k, int32_t n, bool in_team);
void gemm_f32_epi_portable(const float* a, const float* bp, const float* bias, float* y, bool relu,
                           int32_t m, int32_t k, int32_t n, bool in_team, const ConvEpilogueF32* epi);
void linear_f32_portable(const float* x, const float* w, const float* bias, float* y, int32_t k,
                         int32_t n, const float* bp, void* stream);
void relu_f32_portable(float* x, int32_t n, void* stream);

#if defined(__x86_64__)
float* pack_f32_avx2(const float* w, int32_t n, int32_t k);
uint64_t packed_f32_bytes_avx2(int32_t n, int32_t k);
void gemm_f32_avx2(const float* a, const float* bp, const float* bias, float* y, bool relu,
                   int32_t m, int32_t k, int32_t n, bool in_team);
void gemm_f32_epi_avx2(const float* a, const float* bp, const float* bias, float* y, bool relu,
                       int32_t m, int32_t k, int32_t n, bool in_team, const ConvEpilogueF32* epi);
void linear_f32_avx2(const float* x, const float* w, const float* bias, float* y, int32_t k,
                     int32_t n, const float* bp, void* stream);
void relu_f32_avx2(float* x, int32_t n, void* stream);

float* pack_f32_avx512(const float* w, int32_t n, int32_t k);
uint64_t packed_f32_bytes_avx512(int32_t n, int32_t k);
void gemm_f32_avx512(const float* a, const float* bp, const float* bias, float* y, bool relu,
                     int32_t m, int32_t k, int32_t n, bool in_team);
void gemm_f32_epi_avx512(const float* a, const float* bp, const float* bias, float* y, bool relu,
                         int32_t m, int32_t k, int32_t n, bool in_team, const ConvEpilogueF32* epi);
void linear_f32_avx512(const float* x, const float* w, const float* bias, float* y, int32_t k,
                       int32_t n, const float* bp, void* stream);
void relu_f32_avx512(float* x, int32_t n, void* stream);
void gemm_f32_rows_avx512(const float* a, int64_t lda, int64_t seg_len, int64_t seg_stride, const float* bp,
                          const float* bias, float* y, bool relu, int32_t m, int32_t k, int32_t n,
                          const ConvEpilogueF32* epi);
#endif

#if defined(__aarch64__)
float* pack_f32_neon(const float* w, int32_t n, int32_t k);
uint64_t packed_f32_bytes_neon(int32_t n, int32_t k);
void gemm_f32_neon(const float* a, const float* bp, const float* bias, float* y, bool relu,
                   int32_t m, int32_t k, int32_t n, bool in_team);
void gemm_f32_epi_neon(const float* a, const float* bp, const float* bias, float* y, bool relu,
                       int32_t m, int32_t k, int32_t n, bool in_team, const ConvEpilogueF32* epi);
void linear_f32_neon(const float* x, const float* w, const float* bias, float* y, int32_t k,
                     int32_t n, const float* bp, void* stream);
void relu_f32_neon(float* x, int32_t n, void* stream);
#endif

}  // namespace vantrel
