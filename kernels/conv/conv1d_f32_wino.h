// Winograd minimal filtering F(m, r) for float 1-D convolutions of unit
// stride and dilation: F(4,3), F(2,7) and F(2,11), tiles of n = m + r - 1
// input rows.
//
// The transforms come from the interpolation points 0, 1, -1, 2, -2, ...
// (n - 1 finite points) and a last point at infinity:
// - filter G (n x r): G[i][k] = p_i^k / prod_{j != i} (p_i - p_j) over the
//   other finite points; the infinity row is (0, ..., 0, 1). Rounded once
//   to float32 from double.
// - input B^T (n x n): row i holds the coefficients, ascending powers, of
//   prod_{j != i} (x - p_j) over the finite points; the infinity row those
//   of prod_j (x - p_j) over all of them. For F(4,3): V0 = 4d0 - 5d2 + d4 ...
// - output A^T (m x n): A^T[j][i] = p_i^j, the infinity point only in the
//   last row.
//
// Evaluation order, fixed so every path gives the same bits:
// - V_i = sum over the non-zero B^T[i][k] in increasing k of B^T[i][k]*d_k
//   (the first term starts the sum; multiply, then add; no fusion).
// - y_0 = M_0 + M_1 + ... + M_{n-2} left to right; y_j for j >= 1 =
//   sum over q = 1, 2, ... of q^j * (M_{+q} + (-1)^j M_{-q}), q in order
//   (the q = 1 term unscaled), plus M_inf in the last row. For F(4,3) this
//   is y1 = (M1 - M2) + 2(M3 - M4), y3 = (M1 - M2) + 8(M3 - M4) + M5.
//   Then + bias, then ReLU (x > 0 ? x : +0).
// - Filter transform: U_t[o][c] = sum over the non-zero G[t][k], increasing
//   k, of G[t][k]*W[o][k][c], from 0.
#pragma once
#include <cstdint>
#include <vector>

namespace vantrel {

struct Conv1dWinograd {
    int m, r, n;
    float g[12][11];
    float bt[12][12];
    // Non-zero entries of each B^T row, in increasing k.
    int bt_nnz[12];
    int bt_idx[12][12];
    float bt_coef[12][12];
};

// The F(m, r) of a kernel size: r = 3, 7 or 11; null for any other.
const Conv1dWinograd* conv1d_winograd_for(int32_t r);

// Tiles covering l_out outputs, and the padded input rows the tiles read:
// max(m*T + r - 1, padded_len).
int64_t conv1d_wino_tiles(const Conv1dWinograd& w, int64_t l_out);
int64_t conv1d_wino_padded_rows(const Conv1dWinograd& w, int64_t tiles, int64_t padded_len);

// wr: [cout][r][cin] -> u: n matrices [cout][cin] (u[t*cout*cin + o*cin + c]).
void conv1d_wino_filter_transform(const Conv1dWinograd& w, const float* wr, float* u,
                                  int32_t cout, int32_t cin);

// padded: conv1d_wino_padded_rows(...) rows of cin floats (zero padding
// included); u[i]: pack_f32 of the i-th transformed [cout][cin] matrix (the
// packing of the table's path: the products run on gemm_f32_plain); v: n*T*cin
// floats; mb: n*T*cout floats; out: l_out rows of cout floats. r is 3, 7 or
// 11. Threads take blocks of tiles, each running both transforms and the n
// products of its block.
#define VANTREL_CONV1D_WINO_F32_ARGS                                                            \
    const float *padded, const float *const *u, const float *bias, float *out, int32_t cin,       \
        int32_t l_out, int32_t cout, int32_t r, bool relu, float *v, float *mb
using Conv1dWinoF32Fn = void (*)(VANTREL_CONV1D_WINO_F32_ARGS);

// Entry through the CPU kernel table (kernels/cpu_kernels.h).
void conv1d_f32_wino(VANTREL_CONV1D_WINO_F32_ARGS);
void conv1d_f32_wino_portable(VANTREL_CONV1D_WINO_F32_ARGS);
#if defined(__x86_64__)
void conv1d_f32_wino_avx2(VANTREL_CONV1D_WINO_F32_ARGS);
void conv1d_f32_wino_avx512(VANTREL_CONV1D_WINO_F32_ARGS);
#endif
#if defined(__aarch64__)
void conv1d_f32_wino_neon(VANTREL_CONV1D_WINO_F32_ARGS);
#endif

}  // namespace vantrel
