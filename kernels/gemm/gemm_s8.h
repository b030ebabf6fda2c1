// Signed 8-bit GEMM engine: Y = A[M][K] * W[N][K]^T with W packed once into
// blocks of 8 output channels x 4 k (32 bytes), finished by one of three
// epilogues: requantisation to int8, dequantisation to float32, or the raw
// 32-bit sums.
//
// Every path computes the same 32-bit accumulators (sums wrap modulo 2^32),
// and the epilogues are exact per element, so every output (int8, int32 and
// float) is bit-identical across paths, tilings and thread counts.
//
// Packed layout (one for all paths): panel p of 8 channels holds ceil(K/4)
// groups of 32 bytes; group g holds W[8p + j][4g .. 4g + 3] at bytes
// 4j .. 4j + 3, zero beyond N and K. Allocated with new int8_t[]().
//
// Missing epilogue arrays count as zeros: a null eff_bias adds nothing, a
// null multiplier/shift gives out_zp, a null scale gives 0.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vantrel {

int8_t* pack_s8(const int8_t* w, int32_t n, int32_t k);
void free_packed_s8(int8_t* p);
// ceil(N/8) * ceil(K/4) * 32; 0 when N or K is not positive.
size_t packed_s8_bytes(int32_t n, int32_t k);

// Entry points, through the CPU kernel table (kernels/cpu_kernels.h).
void gemm_s8_f32out(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                    const float* scale, float* out, int32_t m, int32_t k, int32_t n,
                    bool out_transposed = false, bool in_team = false);
void gemm_s8_s8out(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                   const int32_t* multiplier, const int32_t* shift, int8_t out_zp, int8_t* out,
                   int32_t m, int32_t k, int32_t n, bool out_transposed = false,
                   bool in_team = false);
// Raw sums, [M][N]; always serial (never touches OpenMP).
void gemm_s8_s32(const int8_t* a, const int8_t* bp, int32_t* y, int32_t m, int32_t k, int32_t n);
// gemm_s8_s8out (normal orientation, own team) with an int8 add folded into
// its outputs (S8ResidualAdd, gemm_s8_split.h).
struct S8ResidualAdd;
void gemm_s8_s8out_residual(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                            const int32_t* multiplier, const int32_t* shift, int8_t out_zp,
                            int8_t* out, int32_t m, int32_t k, int32_t n, const S8ResidualAdd& add);

// Dynamically quantised float GEMM: each row of x is quantised
// symmetrically, then y[m][n] = ((float)(acc + ib[n]) * w_scale[n]) * s_m
// (+ fb[n]). qbuf (M*K bytes) and sbuf (N floats) are scratch; when null a
// thread-local buffer is used. `extra` is accepted and ignored. x is read
// only while it is quantised, before y is written, so y may be x (when
// K == N).
void gemm_s8_dynamic(const float* x, const int8_t* bp, const float* w_scale, const int64_t* ib,
                     const float* fb, int8_t* qbuf, float* sbuf, float* y, int32_t m, int32_t k,
                     int32_t n, const void* extra);
// The CPU table's k_seq_gemm_s8: gemm_s8_dynamic, then GELU in place when set.
void seq_gemm_s8(const float* x, const int8_t* bp, const float* w_scale, const int64_t* ib,
                 const float* fb, int8_t* qbuf, float* sbuf, float* y, int32_t m, int32_t k,
                 int32_t n, bool gelu, void* stream);

// Per-path variants (KGemmS8Requant and KGemmS8S32 signatures).
void gemm_s8_requant_portable(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                              const int32_t* multiplier, const int32_t* shift, const float* scale,
                              int8_t out_zp, void* out, bool float_out, int32_t m, int32_t k,
                              int32_t n, bool out_transposed, bool in_team,
                              const int32_t* row_sums, void* stream);
void gemm_s8_s32_portable(const int8_t* a, const int8_t* bp, int32_t* y, int32_t m, int32_t k,
                          int32_t n, const int32_t* extra);
#define VANTREL_GEMM_S8_RESIDUAL_DECL(name)                                                  \
    void name(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,                  \
              const int32_t* multiplier, const int32_t* shift, int8_t out_zp, int8_t* out, \
              int32_t m, int32_t k, int32_t n, const S8ResidualAdd& add)
VANTREL_GEMM_S8_RESIDUAL_DECL(gemm_s8_residual_portable);

#if defined(__x86_64__)
void gemm_s8_requant_avx2(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                          const int32_t* multiplier, const int32_t* shift, const float* scale,
                          int8_t out_zp, void* out, bool float_out, int32_t m, int32_t k,
                          int32_t n, bool out_transposed, bool in_team, const int32_t* row_sums,
                          void* stream);
void gemm_s8_s32_avx2(const int8_t* a, const int8_t* bp, int32_t* y, int32_t m, int32_t k,
                      int32_t n, const int32_t* extra);
VANTREL_GEMM_S8_RESIDUAL_DECL(gemm_s8_residual_avx2);
void gemm_s8_requant_avx512(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                            const int32_t* multiplier, const int32_t* shift, const float* scale,
                            int8_t out_zp, void* out, bool float_out, int32_t m, int32_t k,
                            int32_t n, bool out_transposed, bool in_team, const int32_t* row_sums,
                            void* stream);
void gemm_s8_s32_avx512(const int8_t* a, const int8_t* bp, int32_t* y, int32_t m, int32_t k,
                        int32_t n, const int32_t* extra);
VANTREL_GEMM_S8_RESIDUAL_DECL(gemm_s8_residual_avx512);
#endif
#if defined(__aarch64__)
void gemm_s8_requant_neon(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                          const int32_t* multiplier, const int32_t* shift, const float* scale,
                          int8_t out_zp, void* out, bool float_out, int32_t m, int32_t k,
                          int32_t n, bool out_transposed, bool in_team, const int32_t* row_sums,
                          void* stream);
void gemm_s8_s32_neon(const int8_t* a, const int8_t* bp, int32_t* y, int32_t m, int32_t k,
                      int32_t n, const int32_t* extra);
VANTREL_GEMM_S8_RESIDUAL_DECL(gemm_s8_residual_neon);
#endif

}  // namespace vantrel
