// Token matrix times packed float weights: y[T][N] = x[T][K] * W[N][K]^T
// (+ bias), then GELU over all T*N outputs when asked. The heavy work is the
// float GEMM engine; each path's kernel pairs that path's GEMM with that
// path's GELU, so the block must come from the same path's pack_f32 (the
// CPU table fills k_pack_f32 and this slot from one path).
#pragma once
#include <cstdint>

namespace vantrel {

using GemmF32Fn = void (*)(const float* a, const float* bp, const float* bias, float* y, bool relu,
                           int32_t m, int32_t k, int32_t n, bool in_team);
using GeluF32Fn = void (*)(float* x, int32_t n, void* stream);
using PackedF32BytesFn = uint64_t (*)(int32_t n, int32_t k);

// Shared body of the per-path kernels; `w` (the raw rows) is not read on
// the CPU. `packed_bytes` is the packing's size function of the same path
// as `gemm` (its panel width splits one token's columns), not the active
// path's: a path's kernel may run while another is active.
void seq_gemm_f32_using(GemmF32Fn gemm, PackedF32BytesFn packed_bytes, GeluF32Fn gelu_fn, const float* x, const float* bias,
                        float* y, int32_t t, int32_t k, int32_t n, bool gelu, const float* bp,
                        void* stream);

// Per-path kernels (the KSeqGemmF32 slot signature).
void k_seq_gemm_f32(const float* x, const float* w, const float* bias, float* y, int32_t t,
                    int32_t k, int32_t n, bool gelu, const float* bp, void* stream);
#if defined(__x86_64__)
void k_seq_gemm_f32_avx2(const float* x, const float* w, const float* bias, float* y, int32_t t,
                         int32_t k, int32_t n, bool gelu, const float* bp, void* stream);
void k_seq_gemm_f32_avx512(const float* x, const float* w, const float* bias, float* y,
                           int32_t t, int32_t k, int32_t n, bool gelu, const float* bp,
                           void* stream);
#endif
#if defined(__aarch64__)
void k_seq_gemm_f32_neon(const float* x, const float* w, const float* bias, float* y, int32_t t,
                         int32_t k, int32_t n, bool gelu, const float* bp, void* stream);
#endif

}  // namespace vantrel
