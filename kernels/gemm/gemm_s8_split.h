// What every path of the int8 GEMM engine shares: the arguments of one
// product, the serial/parallel decision and the split over an OpenMP team,
// the entry points over a path's range function, the per-channel epilogue
// parameters of a column range, and the scalar epilogue and store that
// finish a tile.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/quantize.h"

namespace vantrel {

enum class S8Out { Int8, Float, Int32 };

// A requantising int8 add folded into int8 outputs y: each becomes
// sat8((k_round + q_out * y + q_res * r) >> 12) with r the residual's byte
// at the same [M][N] position, the 12-bit fixed-point element formula of
// the int8 add's blocks, so the bytes equal a separate add's.
struct S8ResidualAdd {
    const int8_t* res;
    int32_t q_out, q_res, k_round;
};

struct GemmS8Args {
    const int8_t* a;
    const int8_t* bp;
    int64_t m, k, n;
    int64_t kg;  // ceil(K/4) groups of 4 k per packed panel
    S8Out kind;
    void* out;
    bool transposed;  // element (m, n) at n*M + m
    const int64_t* eff_bias;
    const int32_t* multiplier;
    const int32_t* shift;
    const float* scale;
    int8_t out_zp;
    const S8ResidualAdd* residual;  // Int8, normal orientation only; else null
    // All M rows of A already in the path's own layout (GemmS8Path::copy),
    // row 0 first, or null: each range then copies the rows it needs itself.
    const void* a_copy;
};

// Computes rows [r0, r1) over packed panels [p0, p1) (8 columns each; the
// last panel may reach past N, those columns are not stored).
using GemmS8RangeFn = void (*)(const GemmS8Args& g, int64_t r0, int64_t r1, int64_t p0,
                               int64_t p1);

// A kernel path: its range function and, for a path that reads A from a copy
// in a layout of its own, the size of that copy's rows and the copy of rows
// [r0, r1) into it (row r0 first). When the panels are split over threads
// every thread needs every row, so each thread copies them once rather than
// once per panel strip.
struct GemmS8Path {
    GemmS8RangeFn range;
    int64_t (*copy_row_bytes)(const GemmS8Args& g);  // null: A is read in place
    void (*copy)(const GemmS8Args& g, int64_t r0, int64_t r1, void* dst);
};

constexpr int64_t kS8PanelCols = 8;
constexpr int64_t kS8GroupBytes = 32;

inline int64_t s8_panels(int64_t n) { return (n + kS8PanelCols - 1) / kS8PanelCols; }

// Serial or a team of its own (or this thread's share when in_team).
void gemm_s8_run(const GemmS8Args& g, bool in_team, const GemmS8Path& path);
// Everything on the calling thread, without any OpenMP call.
void gemm_s8_serial(const GemmS8Args& g, GemmS8RangeFn range);

// Argument checks and the two table entries of one path.
void gemm_s8_requant_on(const GemmS8Path& path, const int8_t* a, const int8_t* bp,
                        const int64_t* eff_bias, const int32_t* multiplier, const int32_t* shift,
                        const float* scale, int8_t out_zp, void* out, bool float_out, int32_t m,
                        int32_t k, int32_t n, bool out_transposed, bool in_team);
void gemm_s8_s32_on(GemmS8RangeFn range, const int8_t* a, const int8_t* bp, int32_t* y,
                    int32_t m, int32_t k, int32_t n);
void gemm_s8_residual_on(const GemmS8Path& path, const int8_t* a, const int8_t* bp,
                         const int64_t* eff_bias, const int32_t* multiplier, const int32_t* shift,
                         int8_t out_zp, int8_t* out, int32_t m, int32_t k, int32_t n,
                         const S8ResidualAdd& add);

// The folded add on rows [r0, r0 + rows), columns [c0, c1) of Y, right after
// a range function stored them (still in L1). The sum wraps in 32 bits as
// the add's does; plain integer code, so every path gives the same bytes.
inline void gemm_s8_residual_rows(const GemmS8Args& g, int64_t r0, int64_t rows, int64_t c0, int64_t c1) {
    if (c1 > g.n) c1 = g.n;
    const S8ResidualAdd& ra = *g.residual;
    for (int64_t r = r0; r < r0 + rows; ++r) {
        int8_t* y = static_cast<int8_t*>(g.out) + r * g.n;
        const int8_t* q = ra.res + r * g.n;
        for (int64_t c = c0; c < c1; ++c) {
            const uint32_t acc = uint32_t(ra.k_round) + uint32_t(ra.q_out * y[c]) + uint32_t(ra.q_res * q[c]);
            const int32_t v = int32_t(acc) >> 12;
            y[c] = int8_t(v < -128 ? -128 : v > 127 ? 127 : v);
        }
    }
}

// Defines a path's two table entries (the KGemmS8Requant and KGemmS8S32
// signatures of gemm_s8.h) and its residual-add entry over its GemmS8Path.
#define VANTREL_GEMM_S8_ENTRIES(REQUANT, S32, RESIDUAL, PATH)                                    \
    void REQUANT(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,                     \
                 const int32_t* multiplier, const int32_t* shift, const float* scale,            \
                 int8_t out_zp, void* out, bool float_out, int32_t m, int32_t k, int32_t n,      \
                 bool out_transposed, bool in_team, const int32_t* /*row_sums*/,                 \
                 void* /*stream*/) {                                                             \
        gemm_s8_requant_on(PATH, a, bp, eff_bias, multiplier, shift, scale, out_zp, out,         \
                           float_out, m, k, n, out_transposed, in_team);                         \
    }                                                                                            \
    void S32(const int8_t* a, const int8_t* bp, int32_t* y, int32_t m, int32_t k, int32_t n,     \
             const int32_t* /*extra*/) {                                                         \
        gemm_s8_s32_on(PATH.range, a, bp, y, m, k, n);                                           \
    }                                                                                            \
    void RESIDUAL(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,                    \
                  const int32_t* multiplier, const int32_t* shift, int8_t out_zp, int8_t* out,   \
                  int32_t m, int32_t k, int32_t n, const S8ResidualAdd& add) {                   \
        gemm_s8_residual_on(PATH, a, bp, eff_bias, multiplier, shift, out_zp, out, m, k, n,      \
                            add);                                                                \
    }

// Per-channel epilogue parameters of panels [p0, p1), 8 entries per panel,
// zero past N so that vector code may read whole panels: the low 32 bits of
// eff_bias (0 for raw sums), multiplier, shift clamped to [-32, 32] (which
// does not change any result) and float scale.
struct S8ColParams {
    std::vector<int32_t> bias, mult, shift;
    std::vector<float> scale;
    // The AVX-512 path's requantisation constants with bias and out_zp
    // folded in (fold_cols, gemm_s8_avx512.cpp), set up by its own tiles.
    std::vector<int64_t> rnd_even, rnd_odd, sh_even, sh_odd;
    std::vector<uint8_t> usual;
};
void gemm_s8_col_params(const GemmS8Args& g, int64_t p0, int64_t p1, S8ColParams& cp);

inline size_t s8_out_size(S8Out kind) {
    return kind == S8Out::Int8 ? 1 : 4;
}

// Writes the first `cols` columns of a rows x 8 tile of finished outputs
// (elements of the output type, row stride 8) at (row, col0).
inline void gemm_s8_write_tile(const GemmS8Args& g, const void* tile, int64_t rows, int64_t row,
                               int64_t col0, int64_t cols) {
    const size_t es = s8_out_size(g.kind);
    const char* src = static_cast<const char*>(tile);
    char* out = static_cast<char*>(g.out);
    if (!g.transposed) {
        for (int64_t r = 0; r < rows; ++r)
            std::memcpy(out + ((row + r) * g.n + col0) * es, src + r * 8 * es, cols * es);
        return;
    }
    for (int64_t c = 0; c < cols; ++c)
        for (int64_t r = 0; r < rows; ++r)
            std::memcpy(out + ((col0 + c) * g.m + row + r) * es, src + (r * 8 + c) * es, es);
}

// One 8-column panel of a vector path's tile epilogue at (row, panel):
// columns [col0, col0 + cols) of Y, at offset off in the range's column
// parameters (first panel p0). Row r's outputs of es bytes each go straight
// into Y when direct, otherwise into tmp (rows of 8) for flush to copy out.
// A path that stores a partial panel under a mask (masked) needs tmp only
// for the transposed orientation.
struct S8Panel {
    int64_t col0, cols, off, row;
    bool direct;
    char* y;
    int64_t n;
    int32_t* tmp;
    char* dst(int r, size_t es) const {
        return direct ? y + size_t((row + r) * n + col0) * es
                      : reinterpret_cast<char*>(tmp) + size_t(r) * 8 * es;
    }
    void flush(const GemmS8Args& g, int rows) const {
        if (!direct) gemm_s8_write_tile(g, tmp, rows, row, col0, cols);
    }
};

static inline S8Panel s8_panel(const GemmS8Args& g, int64_t p0, int64_t row, int64_t panel,
                               bool masked, int32_t* tmp) {
    S8Panel pn;
    pn.col0 = panel * 8;
    pn.cols = g.n - pn.col0 < 8 ? g.n - pn.col0 : 8;
    pn.off = (panel - p0) * 8;
    pn.row = row;
    pn.direct = !g.transposed && (masked || pn.cols == 8);
    pn.y = static_cast<char*>(g.out);
    pn.n = g.n;
    pn.tmp = tmp;
    return pn;
}

// Scalar epilogue of a rows x 8 tile of sums (row stride 8) whose column
// parameters start at entry `off` of cp, stored at (row, col0).
inline void gemm_s8_finish_tile(const GemmS8Args& g, const S8ColParams& cp, int64_t off,
                                const int32_t* acc, int64_t rows, int64_t row, int64_t col0) {
    int64_t cols = g.n - col0 < 8 ? g.n - col0 : 8;
    union {
        int8_t s8[12 * 8];
        int32_t s32[12 * 8];
        float f32[12 * 8];
    } t;
    for (int64_t r0 = 0; r0 < rows; r0 += 12) {
        const int64_t rr = rows - r0 < 12 ? rows - r0 : 12;
        for (int64_t r = 0; r < rr; ++r)
            for (int64_t c = 0; c < cols; ++c) {
                const int32_t v = acc[(r0 + r) * 8 + c];
                const int64_t i = off + c;
                switch (g.kind) {
                    case S8Out::Int8:
                        t.s8[r * 8 + c] = requantize(v, cp.bias[i], cp.mult[i], cp.shift[i], g.out_zp);
                        break;
                    case S8Out::Float:
                        t.f32[r * 8 + c] = dequantize_epilogue(v, cp.bias[i], cp.scale[i]);
                        break;
                    case S8Out::Int32:
                        t.s32[r * 8 + c] = int32_t(uint32_t(v) + uint32_t(cp.bias[i]));
                        break;
                }
            }
        gemm_s8_write_tile(g, &t, rr, row + r0, col0, cols);
    }
}

}  // namespace vantrel
