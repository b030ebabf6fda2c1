// Many-token weight-only int8 product, shared by the vector paths.
// Widening codes to floats and loading every activation once per weight row
// made a prompt of T tokens cost about T one-token steps; here the codes of a
// few rows are widened once per block of 64 tokens, and a tile of R rows by
// M tokens keeps its 2*R*M eight-lane sums in registers, so one load of a
// token's eight activations serves R rows and one load of eight widened
// codes serves M tokens. Every output is summed in the order of
// seq_gemm_w8.h, the same as one token alone.
//
// A path supplies Tiles::run<R, M>(const W8TileArgs&), one tile in that
// order, and Tiles::widen, which lays out the codes its tiles read
// (W8RowCodes: row after row). Included by one instruction-set file each (the tile size follows
// the register count), so everything here has internal linkage.
#pragma once
#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kernels/gemm/seq_gemm_w8.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {
namespace {

struct W8TileArgs {
    const float* x;       // first token of the tile, row stride k
    int64_t k;
    const float* codes;   // widened codes of the tile's rows, row stride kp, zero past k
    int64_t kp;
    const float* scales;  // first row's scales, row stride groups
    int64_t groups, group;
    const float* bias;    // first row's bias or null
    float* y;             // output of the first token and row, row stride n
    int64_t n;
};

// Widened codes row after row, kp floats each (zero past k).
struct W8RowCodes {
    static void widen(const int8_t* q, int64_t k, int rows, int /*R*/, float* codes, int64_t kp) {
        for (int r = 0; r < rows; ++r)
            for (int64_t i = 0; i < k; ++i) codes[r * kp + i] = float(q[r * k + i]);
    }
};

// Tiles::run<rows, tokens> for 1 <= rows <= R, 1 <= tokens <= M.
template <class Tiles, int R, int M>
void w8_tile_upto(int rows, int tokens, const W8TileArgs& a) {
    if constexpr (R > 1)
        if (rows < R) return w8_tile_upto<Tiles, R - 1, M>(rows, tokens, a);
    if constexpr (M > 1)
        if (tokens < M) return w8_tile_upto<Tiles, R, M - 1>(rows, tokens, a);
    Tiles::template run<R, M>(a);
}

template <class Tiles, int R, int M>
void seq_gemm_w8_tiled(const float* x, const int8_t* q, const float* scales, const float* bias, float* y,
                       int32_t t, int32_t k, int32_t n, int32_t group) {
    if (n <= 0 || t <= 0 || group < 8 || group % 8) return;
    const int64_t T = t, K = k > 0 ? k : 0, N = n, G = group, groups = (K + G - 1) / G, kp = (K + 7) / 8 * 8;
    const int team = seq_gemm_w8_team(N * K, T);
    // Each thread's widened rows, allocated here where a failure can throw.
    std::vector<float> widened(size_t(team) * R * size_t(kp), 0.0f);
    run_strips(team, team, [&](int64_t strip, int worker) {
        const SplitRange span = balanced_split(N, team, int(strip));
        float* codes = widened.data() + size_t(worker) * R * size_t(kp);
        // Blocks of 64 tokens keep their activations in L2 while every row
        // of this thread's range passes over them.
        constexpr int64_t kTokenBlock = 64;
        for (int64_t m0 = 0; m0 < T; m0 += kTokenBlock) {
            const int64_t m1 = std::min(T, m0 + kTokenBlock);
            for (int64_t o = span.begin; o < span.end; o += R) {
                const int rows = int(std::min<int64_t>(R, span.end - o));
                Tiles::widen(q + o * K, K, rows, R, codes, kp);
                W8TileArgs a{nullptr, K, codes, kp, scales + o * groups, groups, G, bias ? bias + o : nullptr,
                             nullptr, N};
                for (int64_t m = m0; m < m1; m += M) {
                    a.x = x + m * K;
                    a.y = y + m * N + o;
                    w8_tile_upto<Tiles, R, M>(rows, int(std::min<int64_t>(M, m1 - m)), a);
                }
            }
        }
    });
}

}  // namespace
}  // namespace vantrel
