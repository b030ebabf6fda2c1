#include "kernels/gemm/gemm_f32_split.h"

#include <omp.h>

#include <cstring>
#include <new>
#include <vector>

#include "kernels/gemm/gemm_f32.h"
#include "kernels/parallel/strip_pool.h"

namespace vantrel {

bool gemm_f32_large_enough(int64_t m, int64_t k, int64_t n) {
    if (m <= 0 || k <= 0 || n <= 0) return false;
    const int64_t limit = 2000000;
    if (k * n >= (int64_t(1) << 17)) return true;
    int64_t mk = m * k;  // below 2^62 for 32-bit dimensions
    if (mk >= limit) return true;
    return mk * n >= limit;  // mk < 2e6, so this stays below 2^53
}

namespace {

void run_in_team(const GemmF32Args& g, const GemmF32Tiling& t) {
    const int64_t T = omp_get_num_threads();
    const int64_t tid = omp_get_thread_num();
    const int64_t blocks = g.m / t.block_rows;
    const int64_t panels = (g.n + t.panel_cols - 1) / t.panel_cols;
    if (T > 1 && g.m < g.n) {
        // Few rows: split the column panels; every owner does all rows.
        int64_t p0 = tid * panels / T, p1 = (tid + 1) * panels / T;
        if (p0 < p1) t.range(g, 0, g.m, p0, p1);
        return;
    }
    // The last share takes the rows past the last whole block, so the
    // path's range splits them into even tiles rather than running them as
    // a thin tile of their own over every panel.
    if (blocks == 0) {
        if (tid == 0) t.range(g, 0, g.m, 0, panels);
        return;
    }
    const int64_t b0 = tid * blocks / T, b1 = (tid + 1) * blocks / T;
    if (b0 < b1) t.range(g, b0 * t.block_rows, b1 == blocks ? g.m : b1 * t.block_rows, 0, panels);
}

// The strip pool takes the work in strips from a shared counter rather
// than in fixed shares: a thread the OS wakes late (the team sleeps between
// products) then takes fewer strips, or none, and the caller does not wait
// for it. Strips are row ranges, 2 per thread (finer
// ones measured up to 12% slower on 28x28 layers when every thread starts
// at once), or, when rows are fewer than columns, column panel ranges:
// about 4 per thread and 4 panels at least, as each strip reads all of A
// and a narrow one would run narrow tiles. Every output is still one
// tile's, so the split changes no result.
//
// Products of a few row blocks and many more columns (1x1 expansions at
// 7x7 and 14x14, a ViT's token products) take one share per thread
// instead: from 4 row blocks per thread, rows split evenly; from 2 blocks,
// each thread's own contiguous range of panels, so it reads only its part
// of W. Against those panel strips (2 threads, weights from memory, SiLU
// in the epilogue, median call): 196 rows 160 -> 960 0.69 of the time,
// 80 -> 480 0.67, 112 -> 672 0.65, 128 -> 512 0.85, 197 x 384 -> 1152
// 0.85; 49 rows 0.93-1.0, where the rows split evenly ran 1.03-1.12 of
// the panel halves' time; 24 rows 0.92.
// Products whose A is larger run on it in place (and the path's range
// copies tile rows as it needs them).
constexpr int64_t kRowsCopyMaxFloats = int64_t(1) << 20;

constexpr int64_t kRowStripsPerThread = 2, kPanelStripsPerThread = 4, kMinStripPanels = 4;
constexpr int64_t kEvenRowsMinBlocksPerThread = 4, kOwnPanelsMinBlocks = 2;

struct Strips {
    bool by_panels;
    int64_t size;   // row blocks or panels per strip
    int64_t count;
    bool even_rows = false;  // count shares of rows, split by balanced_split
};

Strips plan_strips(const GemmF32Args& g, const GemmF32Tiling& t, int64_t threads) {
    const bool by_panels = g.m < g.n;
    if (by_panels && g.m >= threads * kEvenRowsMinBlocksPerThread * t.block_rows) return {false, 0, threads, true};
    if (by_panels && g.m >= kOwnPanelsMinBlocks * t.block_rows) {
        const int64_t panels = (g.n + t.panel_cols - 1) / t.panel_cols;
        const int64_t size = (panels + threads - 1) / threads;
        return {true, size, (panels + size - 1) / size};
    }
    // Row strips are whole blocks; the last also takes the rows past them.
    const int64_t whole = g.m / t.block_rows;
    const int64_t units = by_panels ? (g.n + t.panel_cols - 1) / t.panel_cols : whole > 0 ? whole : 1;
    const int64_t want = threads * (by_panels ? kPanelStripsPerThread : kRowStripsPerThread);
    int64_t size = units > want ? (units + want - 1) / want : 1;
    if (by_panels && size < kMinStripPanels) size = kMinStripPanels;
    return {by_panels, size, (units + size - 1) / size};
}

void run_strip(const GemmF32Args& g, const GemmF32Tiling& t, const Strips& s, int64_t i) {
    const int64_t panels = (g.n + t.panel_cols - 1) / t.panel_cols;
    if (s.even_rows) {
        const SplitRange r = balanced_split(g.m, int(s.count), int(i));
        if (r.begin < r.end) t.range(g, r.begin, r.end, 0, panels);
        return;
    }
    const int64_t u0 = i * s.size, u1 = u0 + s.size;
    if (s.by_panels) {
        t.range(g, 0, g.m, u0, u1 < panels ? u1 : panels);
    } else {
        const int64_t r1 = i + 1 == s.count ? g.m : u1 * t.block_rows;
        t.range(g, u0 * t.block_rows, r1, 0, panels);
    }
}

}  // namespace

void gemm_f32_run(const float* a, const float* bp, const float* bias, float* y, bool relu,
                  int32_t m, int32_t k, int32_t n, bool in_team, const GemmF32Tiling& tiling,
                  const ConvEpilogueF32* epi) {
    if (m <= 0 || n <= 0) return;
    GemmF32Args g{a, bp, bias, y, relu, m, k > 0 ? k : 0, n, epi && epi->active() ? epi : nullptr};
    if (in_team) {
        run_in_team(g, tiling);
        return;
    }
    const int threads = strip_team();
    if (tiling.restride_rows && g.k > 0 && g.k % 1024 == 0 && g.m * g.k <= kRowsCopyMaxFloats) {
        const int64_t lda = g.k + tiling.panel_cols;
        thread_local std::vector<float> rows_copy;
        if (int64_t(rows_copy.size()) < g.m * lda) rows_copy.resize(size_t(g.m * lda));
        float* c = rows_copy.data();
        const int64_t parts = threads > 1 && gemm_f32_large_enough(g.m, g.k, g.n) ? threads : 1;
        auto copy_rows = [&](int64_t i, int) {
            for (int64_t r = i * g.m / parts, r1 = (i + 1) * g.m / parts; r < r1; ++r)
                std::memcpy(c + r * lda, a + r * g.k, size_t(g.k) * sizeof(float));
        };
        if (parts > 1) run_strips(parts, threads, copy_rows);
        else copy_rows(0, 0);
        g.a = c;
        g.lda = lda;
    }
    if (threads > 1 && gemm_f32_large_enough(g.m, g.k, g.n)) {
        const Strips strips = plan_strips(g, tiling, threads);
        run_strips(strips.count, threads, [&](int64_t i, int) { run_strip(g, tiling, strips, i); });
        return;
    }
    // One range: its ragged end is split into even tiles (49 rows as 12,
    // 12, 12, 7, 6), where a separate call would leave one thin tile
    // passing over every panel for the last m mod block_rows rows.
    tiling.range(g, 0, g.m, 0, (g.n + tiling.panel_cols - 1) / tiling.panel_cols);
}

float* alloc_packed_f32(uint64_t count) {
    float* p = static_cast<float*>(::operator new[](size_t(count ? count : 1) * sizeof(float), std::align_val_t(64)));
    std::memset(p, 0, size_t(count) * sizeof(float));
    return p;
}

void free_packed_f32(float* bp) {
    if (bp) ::operator delete[](bp, std::align_val_t(64));
}

uint64_t packed_f32_panel_bytes(int32_t n, int32_t k, int64_t width) {
    if (n <= 0 || k <= 0) return 0;
    return uint64_t((int64_t(n) + width - 1) / width) * uint64_t(k) * uint64_t(width) *
           sizeof(float);
}

float* pack_f32_panels(const float* w, int32_t n, int32_t k, int64_t width) {
    const uint64_t count = packed_f32_panel_bytes(n, k, width) / sizeof(float);
    float* bp = alloc_packed_f32(count);
    const int64_t kk = k > 0 ? k : 0;
    for (int64_t col = 0; col < n; ++col) {
        float* dst = bp + (col / width) * kk * width + col % width;
        const float* src = w + col * kk;
        for (int64_t i = 0; i < kk; ++i) dst[i * width] = src[i];
    }
    return bp;
}

void linear_f32_on(PackF32Fn pack, GemmF32Fn gemm, const float* x, const float* w,
                   const float* bias, float* y, int32_t k, int32_t n, const float* bp) {
    float* tmp = bp ? nullptr : pack(w, n, k);
    if (tmp) bp = tmp;
    struct Release {
        float* p;
        ~Release() { free_packed_f32(p); }
    } release{tmp};
    gemm(x, bp, bias, y, false, 1, k, n, false);
}

}  // namespace vantrel
