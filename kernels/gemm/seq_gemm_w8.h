// Weight-only int8 sequence product: float activations times int8 weights
// with one float scale per `group` consecutive weights of a row,
//   y[t][n] = sum over groups g of scale[n][g] * sum_{k in g} x[t][k] * q[n][k]
// (+ bias[n]), accumulated in float32. The weights stay a quarter of their
// float size (decoding one token is memory bound) while the activations keep
// full precision.
//
// Fixed order, the same on every path: eight lanes l = k mod 8. Per group,
// part[l] starts at 0 and takes fma(x[k], (float)q[k], part[l]) for the
// group's k of lane l in increasing order (a group's last partial block of
// eight is padded with zero products); then acc[l] = fma(part[l],
// scale[n][g], acc[l]). The row total is
//   ((acc0 + acc4) + (acc2 + acc6)) + ((acc1 + acc5) + (acc3 + acc7)),
// then + bias[n]. `group` is a positive multiple of 8, and rows carry
// ceil(K / group) scales.
#pragma once
#include <cstdint>

namespace vantrel {

// Outputs of one int8 row and its group scales for `tokens` (1 to 4)
// consecutive token rows x + m*K: out[m] is the dot product of token m with
// the row, in the order above (without the bias). Several tokens widen each
// code into floats once for all of them.
using DotW8Fn = void (*)(const float* x, const int8_t* q, const float* scales, int64_t k,
                         int64_t group, int tokens, float* out);
constexpr int kW8Tokens = 4;

// Shared driver: splits the N outputs over an OpenMP team when the product is
// large enough (one thread inside a parallel region); each output row serves
// all T tokens in turn, up to four at a time.
void seq_gemm_w8_rows(const float* x, const int8_t* q, const float* scales, const float* bias,
                      float* y, int32_t t, int32_t k, int32_t n, int32_t group, DotW8Fn dot);

// One token against up to `rows` consecutive int8 rows (row stride k, scale
// row stride ceil(k / group)): out[r] for r < rows, each in the order above
// (without the bias). One row alone is a single chain of dependent
// multiply-adds per lane, so a decoding step would wait on the FMA latency
// instead of memory; several rows give independent chains.
using DotW8RowsFn = void (*)(const float* x, const int8_t* q, const float* scales, int64_t k,
                             int64_t group, int rows, float* out);

// Shared one-token driver: splits the N outputs over the team of
// seq_gemm_w8_team and hands `dot` blocks of up to `block` rows.
void seq_gemm_w8_one(const float* x, const int8_t* q, const float* scales, const float* bias,
                     float* y, int32_t k, int32_t n, int32_t group, int block, DotW8RowsFn dot);

// Threads for a product of n*k codes over t tokens: 1 inside a parallel
// region or when waking a team costs more than the product.
int seq_gemm_w8_team(int64_t nk, int64_t t);

// The eight-lane total of the order above.
inline float w8_lane_total(const float* acc) {
    return ((acc[0] + acc[4]) + (acc[2] + acc[6])) + ((acc[1] + acc[5]) + (acc[3] + acc[7]));
}

// Per-path kernels (the KSeqGemmW8F32 slot signature): x [T][K], q [N][K],
// scales [N][ceil(K / group)], bias [N] or null, y [T][N].
void k_seq_gemm_w8_f32(const float* x, const int8_t* q, const float* scales, const float* bias,
                       float* y, int32_t t, int32_t k, int32_t n, int32_t group, void* stream);
#if defined(__x86_64__)
// AVX-512 registers hold the eight lanes of two rows side by side.
void k_seq_gemm_w8_f32_avx2(const float* x, const int8_t* q, const float* scales,
                            const float* bias, float* y, int32_t t, int32_t k, int32_t n,
                            int32_t group, void* stream);
void k_seq_gemm_w8_f32_avx512(const float* x, const int8_t* q, const float* scales,
                              const float* bias, float* y, int32_t t, int32_t k, int32_t n,
                              int32_t group, void* stream);
#endif
#if defined(__aarch64__)
void k_seq_gemm_w8_f32_neon(const float* x, const int8_t* q, const float* scales,
                            const float* bias, float* y, int32_t t, int32_t k, int32_t n,
                            int32_t group, void* stream);
#endif

}  // namespace vantrel
