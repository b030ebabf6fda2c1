#include "kernels/gemm/gemm_s8_split.h"

#include <omp.h>

#include <algorithm>

#include "kernels/parallel/strip_pool.h"

namespace vantrel {

namespace {

constexpr int64_t kBlockRows = 8;

// This thread's share of the product, with the team's actual size.
void run_in_team(const GemmS8Args& g, GemmS8RangeFn range) {
    const int64_t T = omp_get_num_threads();
    const int64_t t = omp_get_thread_num();
    const int64_t pairs = s8_panels(g.n);  // pairs of 4-column half-panels
    if (T > 1 && g.m < g.n) {
        // Few rows: split the packed panels; each owner does every row. The
        // last thread's end, 2*pairs half-panels, covers all P of them.
        const int64_t p0 = t * pairs / T, p1 = (t + 1) * pairs / T;
        if (p0 < p1) range(g, 0, g.m, p0, p1);
        return;
    }
    const int64_t blocks = g.m / kBlockRows;
    const int64_t b0 = t * blocks / T, b1 = (t + 1) * blocks / T;
    if (b0 < b1) range(g, b0 * kBlockRows, b1 * kBlockRows, 0, pairs);
    if (t == 0 && blocks * kBlockRows < g.m) range(g, blocks * kBlockRows, g.m, 0, pairs);
}

// Without a team of the caller's, the product goes to the strip pool in
// strips from a shared counter, so a thread the OS runs late takes fewer
// of them and nobody waits for it: about 2 row strips per thread of whole
// 24-row units (whole register tiles of every path), or, with fewer rows
// than columns, about 4 panel strips per thread of 4 panels at least (a
// narrower one would run narrow tiles). Integer results do not depend on
// the split.
constexpr int64_t kRowStripsPerThread = 2, kRowUnit = 24;
constexpr int64_t kPanelStripsPerThread = 4, kMinStripPanels = 4;

void run_in_strips(const GemmS8Args& g, const GemmS8Path& path, int threads) {
    const GemmS8RangeFn range = path.range;
    const int64_t panels = s8_panels(g.n);
    const bool by_panels = g.m < g.n;
    const int64_t units = by_panels ? panels : (g.m + kRowUnit - 1) / kRowUnit;
    const int64_t want = threads * (by_panels ? kPanelStripsPerThread : kRowStripsPerThread);
    int64_t size = units > want ? (units + want - 1) / want : 1;
    if (by_panels && size < kMinStripPanels) size = kMinStripPanels;
    const int64_t strips = (units + size - 1) / size;
    if (by_panels && strips > 1 && path.copy_row_bytes) {
        // Every panel strip reads all rows: each thread copies them once, on
        // its first strip, into its own buffer, instead of once per strip (a
        // 3x3 layer at 14 x 14 copied its 450 KiB im2col matrix 8 times
        // over). Not one copy shared by all: rows another core wrote are
        // fetched from it again on every strip (a 1x1 layer of 1024 inputs
        // at 14 x 14 ran a third slower so).
        const int64_t row_bytes = path.copy_row_bytes(g);
        std::vector<const unsigned char*> mine(size_t(threads), nullptr);
        run_strips(strips, threads, [&](int64_t i, int w) {
            if (!mine[size_t(w)]) {
                static thread_local std::vector<unsigned char> copy;
                copy.resize(size_t(g.m * row_bytes));
                path.copy(g, 0, g.m, copy.data());
                mine[size_t(w)] = copy.data();
            }
            GemmS8Args gw = g;
            gw.a_copy = mine[size_t(w)];
            const int64_t u0 = i * size, u1 = std::min(units, u0 + size);
            range(gw, 0, gw.m, u0, u1);
        });
        return;
    }
    run_strips(strips, threads, [&](int64_t i, int) {
        const int64_t u0 = i * size, u1 = std::min(units, u0 + size);
        if (by_panels) range(g, 0, g.m, u0, u1);
        else range(g, u0 * kRowUnit, std::min(g.m, u1 * kRowUnit), 0, panels);
    });
}

}  // namespace

void gemm_s8_run(const GemmS8Args& g, bool in_team, const GemmS8Path& path) {
    if (g.m <= 0 || g.n <= 0) return;
    if (in_team) {
        run_in_team(g, path.range);
        return;
    }
    const int threads = strip_team();
    if (threads > 1) {
        run_in_strips(g, path, threads);
        return;
    }
    path.range(g, 0, g.m, 0, s8_panels(g.n));
}

void gemm_s8_serial(const GemmS8Args& g, GemmS8RangeFn range) {
    if (g.m <= 0 || g.n <= 0) return;
    range(g, 0, g.m, 0, s8_panels(g.n));
}

namespace {

GemmS8Args make_args(const int8_t* a, const int8_t* bp, S8Out kind, void* out, int32_t m,
                     int32_t k, int32_t n, bool transposed) {
    GemmS8Args g{};
    g.a = a;
    g.bp = bp;
    g.m = m;
    g.k = k > 0 ? k : 0;
    g.n = n;
    g.kg = (g.k + 3) / 4;
    g.kind = kind;
    g.out = out;
    g.transposed = transposed;
    return g;
}

}  // namespace

void gemm_s8_requant_on(const GemmS8Path& path, const int8_t* a, const int8_t* bp,
                        const int64_t* eff_bias, const int32_t* multiplier, const int32_t* shift,
                        const float* scale, int8_t out_zp, void* out, bool float_out, int32_t m,
                        int32_t k, int32_t n, bool out_transposed, bool in_team) {
    if (m <= 0 || n <= 0) return;
    GemmS8Args g = make_args(a, bp, float_out ? S8Out::Float : S8Out::Int8, out, m, k, n,
                             out_transposed);
    g.eff_bias = eff_bias;
    g.multiplier = multiplier;
    g.shift = shift;
    g.scale = scale;
    g.out_zp = out_zp;
    gemm_s8_run(g, in_team, path);
}

void gemm_s8_s32_on(GemmS8RangeFn range, const int8_t* a, const int8_t* bp, int32_t* y,
                    int32_t m, int32_t k, int32_t n) {
    if (m <= 0 || n <= 0) return;
    gemm_s8_serial(make_args(a, bp, S8Out::Int32, y, m, k, n, false), range);
}

void gemm_s8_residual_on(const GemmS8Path& path, const int8_t* a, const int8_t* bp,
                         const int64_t* eff_bias, const int32_t* multiplier, const int32_t* shift,
                         int8_t out_zp, int8_t* out, int32_t m, int32_t k, int32_t n,
                         const S8ResidualAdd& add) {
    if (m <= 0 || n <= 0) return;
    GemmS8Args g = make_args(a, bp, S8Out::Int8, out, m, k, n, false);
    g.eff_bias = eff_bias;
    g.multiplier = multiplier;
    g.shift = shift;
    g.out_zp = out_zp;
    g.residual = &add;
    gemm_s8_run(g, false, path);
}

void gemm_s8_col_params(const GemmS8Args& g, int64_t p0, int64_t p1, S8ColParams& cp) {
    const size_t cnt = size_t(p1 - p0) * kS8PanelCols;
    cp.bias.assign(cnt, 0);
    cp.mult.assign(cnt, 0);
    cp.shift.assign(cnt, 0);
    cp.scale.assign(cnt, 0.0f);
    const int64_t c0 = p0 * kS8PanelCols;
    const int64_t c1 = std::min(p1 * kS8PanelCols, g.n);
    for (int64_t c = c0; c < c1; ++c) {
        const size_t i = size_t(c - c0);
        if (g.kind != S8Out::Int32 && g.eff_bias) cp.bias[i] = int32_t(uint64_t(g.eff_bias[c]));
        if (g.kind == S8Out::Int8) {
            if (g.multiplier) cp.mult[i] = g.multiplier[c];
            if (g.shift) cp.shift[i] = std::min(32, std::max(-32, g.shift[c]));
        }
        if (g.kind == S8Out::Float && g.scale) cp.scale[i] = g.scale[c];
    }
}

}  // namespace vantrel
