// What every path of the float GEMM engine shares: the serial/parallel
// decision, the split of the work over an OpenMP team, packing W into
// zero-padded column panels of a path's width, the column-blocked range
// driver of the x86 paths and the per-path entry points.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "kernels/gemm/gemm_f32_epilogue.h"

namespace vantrel {

struct GemmF32Args {
    const float* a;
    const float* bp;
    const float* bias;
    float* y;
    bool relu;
    int64_t m, k, n;
    const ConvEpilogueF32* epi = nullptr;  // run on each tile after bias and ReLU
    // Where A's elements lie. 0, 0, 0: row-major, rows k floats apart. Else
    // (gemm_f32_rows) A[r][s*seg_len + j] = a[r*lda + s*seg_stride + j].
    int64_t lda = 0, seg_len = 0, seg_stride = 0;
};

// Computes rows [r0, r1) of Y over column panels [p0, p1).
using GemmF32RangeFn = void (*)(const GemmF32Args& g, int64_t r0, int64_t r1, int64_t p0,
                                int64_t p1);

// A path's work units: row blocks of block_rows rows and panels of
// panel_cols columns, and the routine that computes a range of them.
struct GemmF32Tiling {
    int64_t block_rows;
    int64_t panel_cols;
    GemmF32RangeFn range;
    // A whose rows lie a multiple of 1024 floats (4 KiB) apart is copied
    // once per product to rows panel_cols floats longer: the path's tiles
    // read rows that would otherwise share one set of the L1 cache.
    bool restride_rows = false;
};

// Whether M*K*N reaches the 2,000,000 multiply-adds that justify a team
// (exact, without 64-bit overflow for any 32-bit dimensions), or W alone
// spans 512 KiB: a product of a few rows (a decoding step) is bound by
// reading W, and a second thread adds memory bandwidth.
bool gemm_f32_large_enough(int64_t m, int64_t k, int64_t n);

// The engine's entry: decides serial or parallel (or computes this thread's
// share when in_team), then hands ranges to the path's routine.
void gemm_f32_run(const float* a, const float* bp, const float* bias, float* y, bool relu,
                  int32_t m, int32_t k, int32_t n, bool in_team, const GemmF32Tiling& tiling,
                  const ConvEpilogueF32* epi = nullptr);

// ceil(N/width) panels of K rows of `width` floats; element (p, k, j) at
// (p*K + k)*width + j is W[p*width + j][k], 0 past N. Allocated with new[].
float* pack_f32_panels(const float* w, int32_t n, int32_t k, int64_t width);
uint64_t packed_f32_panel_bytes(int32_t n, int32_t k, int64_t width);

// k_linear_f32 on one path: packs a temporary block when bp is null.
using PackF32Fn = float* (*)(const float*, int32_t, int32_t);
using GemmF32Fn = void (*)(const float*, const float*, const float*, float*, bool, int32_t,
                           int32_t, int32_t, bool);
void linear_f32_on(PackF32Fn pack, GemmF32Fn gemm, const float* x, const float* w,
                   const float* bias, float* y, int32_t k, int32_t n, const float* bp);

// Unnamed namespace: files built with different instruction sets include
// this header, and each must keep its own copy.
namespace {

// The epilogue of rows [row, row + rows) x columns [col, col + cnt) of a
// tile just stored.
inline void gemm_f32_tile_epilogue(const GemmF32Args& g, int64_t row, int rows, int64_t col, int64_t cnt) {
    if (!g.epi || cnt <= 0) return;
    for (int r = 0; r < rows; ++r) {
        const int64_t flat = (row + r) * g.n + col;
        conv_epilogue_f32(*g.epi, g.y + flat, flat, cnt);
    }
}

// f(std::integral_constant<int, R>) for the R in [1, kMax] that equals n.
template <int kMax, class F>
inline void gemm_f32_with_rows(int64_t n, F&& f) {
    if constexpr (kMax > 0) {
        if (n == kMax) f(std::integral_constant<int, kMax>{});
        else gemm_f32_with_rows<kMax - 1>(n, f);
    }
}

// Rows [r0, r1) over panels [p0, p1) in column blocks of at most
// block_bytes of packed W (or two panels), so a block stays in L2 while every row tile of
// the range streams over it. In each block: tiles of kRows rows, the last
// kRows + x rows as two tiles of even sizes (49 rows as 12, 12, 12, 7, 6,
// not 4 x 12 + 1: a one-row tile is one dependent chain of k multiply-adds
// per vector, about as slow as a full tile); tile_row(integral_constant<int,
// R>, row, pb, pe) computes R rows over panels [pb, pe).
template <int kRows, int64_t kPanel, class TileRow>
inline void gemm_f32_blocked_range(const GemmF32Args& g, int64_t r0, int64_t r1, int64_t p0,
                                   int64_t p1, int64_t block_bytes, TileRow&& tile_row) {
    const int64_t panel_bytes = g.k * kPanel * int64_t(sizeof(float));
    int64_t block = panel_bytes > 0 ? block_bytes / panel_bytes : p1 - p0;
    // Two panels at least, even past block_bytes (deep sums: 3x3 over 512
    // channels): one-panel tiles load one W vector per column of broadcasts
    // and run a third slower than the L2 misses two panels may cost.
    if (block < 2) block = 2;
    for (int64_t pb = p0; pb < p1; pb += block) {
        const int64_t pe = pb + block < p1 ? pb + block : p1;
        int64_t row = r0;
        for (; r1 - row >= 2 * kRows; row += kRows) tile_row(std::integral_constant<int, kRows>{}, row, pb, pe);
        // The last 0 to 2*kRows - 1 rows: one tile, or two of even sizes.
        const int64_t left = r1 - row, first = left > kRows ? (left + 1) / 2 : left;
        for (const int64_t r : {first, left - first}) {
            if (r == kRows) tile_row(std::integral_constant<int, kRows>{}, row, pb, pe);
            else gemm_f32_with_rows<kRows - 1>(r, [&](auto n) { tile_row(n, row, pb, pe); });
            row += r;
        }
    }
}

}  // namespace

// Defines pack_f32_<path>, packed_f32_bytes_<path>, gemm_f32_<path>,
// gemm_f32_epi_<path> and linear_f32_<path> of gemm_f32.h for a path with
// panels of kPanel columns and the given GemmF32Tiling.
#define VANTREL_GEMM_F32_ENTRY_POINTS(path, kPanel, tiling)                                         \
    float* pack_f32_##path(const float* w, int32_t n, int32_t k) {                                 \
        return pack_f32_panels(w, n, k, kPanel);                                                    \
    }                                                                                               \
    uint64_t packed_f32_bytes_##path(int32_t n, int32_t k) {                                        \
        return packed_f32_panel_bytes(n, k, kPanel);                                                \
    }                                                                                               \
    void gemm_f32_##path(const float* a, const float* bp, const float* bias, float* y, bool relu,  \
                         int32_t m, int32_t k, int32_t n, bool in_team) {                           \
        gemm_f32_run(a, bp, bias, y, relu, m, k, n, in_team, tiling);                               \
    }                                                                                               \
    void gemm_f32_epi_##path(const float* a, const float* bp, const float* bias, float* y,         \
                             bool relu, int32_t m, int32_t k, int32_t n, bool in_team,             \
                             const ConvEpilogueF32* epi) {                                          \
        gemm_f32_run(a, bp, bias, y, relu, m, k, n, in_team, tiling, epi);                          \
    }                                                                                               \
    void linear_f32_##path(const float* x, const float* w, const float* bias, float* y, int32_t k, \
                           int32_t n, const float* bp, void* /*stream*/) {                          \
        linear_f32_on(&pack_f32_##path, &gemm_f32_##path, x, w, bias, y, k, n, bp);                 \
    }

}  // namespace vantrel
