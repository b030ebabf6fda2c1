// Single-precision GEMM engine: Y[M][N] = A[M][K] * W[N][K]^T (+ bias, ReLU)
// with W packed once at load time.
//
// Every output is summed from 0 in increasing k, one fused multiply-add per
// term, then the bias is added and ReLU applied. All paths keep that order,
// so they agree bit for bit whatever their tiling or thread count.
//
// The packed layout belongs to the path: the portable and Arm paths use
// 4-column panels (element (p, k, j) at (p*K + k)*4 + j, zero-padded); a
// vector path may use wider panels. A block must only be given to the GEMM
// of the path that packed it; pack_f32/gemm_f32 below always agree because
// both follow the active kernel path.
#pragma once
#include <cstdint>

namespace vantrel {

// Active-path entry points (what the kernel table holds).
float* pack_f32(const float* w, int32_t n, int32_t k);
void free_packed_f32(float* bp);
void gemm_f32(const float* a, const float* bp, const float* bias, float* y, bool relu, int32_t m,
              int32_t k, int32_t n, bool in_team);
void gemm_f32_plain(const float* a, const float* bp, float* y, int32_t m, int32_t k, int32_t n);
void linear_f32(const float* x, const float* w, const float* bias, float* y, int32_t k, int32_t n,
                const float* bp, void* stream);
void relu_f32(float* x, int32_t n, void* stream);

// Per-path variants, for the kernel table and for tests comparing paths.
float* pack_f32_portable(const float* w, int32_t n, int32_t k);
void gemm_f32_portable(const float* a, const float* bp, const float* bias, float* y, bool relu,
                       int32_t m, int32_t k, int32_t n, bool in_team);

}  // namespace vantrel
