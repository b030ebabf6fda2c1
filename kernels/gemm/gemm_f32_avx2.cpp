// AVX2 float GEMM. W is packed in 16-column panels (two 8-lane vectors per
// k); the register tile is 6 rows x 16 columns (12 accumulators). Each lane
// is one output column summing over k from 0 with one vfmadd per term, so
// results equal the portable path's bit for bit.
#include <immintrin.h>

#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_f32_split.h"
#include "kernels/gemm/panel_tiles.h"

namespace vantrel {

namespace {

constexpr int64_t kPanel = 16;
constexpr int kRows = 6;
// Bytes of packed W a column block may span (gemm_f32_blocked_range).
constexpr int64_t kBlockBytes = 384 * 1024;

inline __m256i lane_mask(int64_t cnt) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(int(cnt)),
                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// Panels per tile for a tile of R rows: as many as the 16 registers allow.
constexpr int max_panels(int r) { return r == 1 ? 4 : r <= 3 ? 2 : 1; }

template <int R, int NP>
void tile(const GemmF32Args& g, int64_t row, int64_t p) {
    constexpr int V = 2 * NP;
    const int64_t K = g.k;
    const float* b = g.bp + p * K * kPanel;
    const float* a[R];
    for (int r = 0; r < R; ++r) a[r] = g.a + (row + r) * K;
    __m256 acc[R][V];
    for (int r = 0; r < R; ++r)
        for (int v = 0; v < V; ++v) acc[r][v] = _mm256_setzero_ps();
    for (int64_t k = 0; k < K; ++k) {
        __m256 bv[V];
        for (int q = 0; q < NP; ++q) {
            bv[2 * q] = _mm256_loadu_ps(b + q * K * kPanel + k * kPanel);
            bv[2 * q + 1] = _mm256_loadu_ps(b + q * K * kPanel + k * kPanel + 8);
        }
        for (int r = 0; r < R; ++r) {
            // set1 of a loaded value, not _mm256_broadcast_ss(pointer): GCC
            // lets that pointer alias the accumulators and spills them.
            const __m256 av = _mm256_set1_ps(a[r][k]);
            for (int v = 0; v < V; ++v) acc[r][v] = _mm256_fmadd_ps(av, bv[v], acc[r][v]);
        }
    }
    const __m256 zero = _mm256_setzero_ps();
    for (int v = 0; v < V; ++v) {
        const int64_t col = p * kPanel + v * 8;
        const int64_t cnt = g.n - col;
        if (cnt <= 0) break;  // zero padding of the last panel
        const __m256i mask = lane_mask(cnt);
        __m256 bias = zero;
        if (g.bias)
            bias = cnt >= 8 ? _mm256_loadu_ps(g.bias + col)
                            : _mm256_maskload_ps(g.bias + col, mask);
        for (int r = 0; r < R; ++r) {
            __m256 x = acc[r][v];
            if (g.bias) x = _mm256_add_ps(x, bias);
            if (g.relu) x = _mm256_max_ps(x, zero);  // x > 0 ? x : +0, NaN -> +0
            float* y = g.y + (row + r) * g.n + col;
            if (cnt >= 8) _mm256_storeu_ps(y, x);
            else _mm256_maskstore_ps(y, mask, x);
        }
    }
    const int64_t col0 = p * kPanel, cols = g.n - col0 < V * 8 ? g.n - col0 : V * 8;
    gemm_f32_tile_epilogue(g, row, R, col0, cols);
}

void range(const GemmF32Args& g, int64_t r0, int64_t r1, int64_t p0, int64_t p1) {
    auto tile_row = [&](auto rows, int64_t row, int64_t pb, int64_t pe) {
        constexpr int R = decltype(rows)::value;
        panel_tiles<max_panels(R)>(pb, pe, [&](auto np, int64_t p) { tile<R, decltype(np)::value>(g, row, p); });
    };
    gemm_f32_blocked_range<kRows, kPanel>(g, r0, r1, p0, p1, kBlockBytes, tile_row);
}

const GemmF32Tiling kTiling{kRows, kPanel, &range};

}  // namespace

VANTREL_GEMM_F32_ENTRY_POINTS(avx2, kPanel, kTiling)

void relu_f32_avx2(float* x, int32_t n, void* /*stream*/) {
    const __m256 zero = _mm256_setzero_ps();
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, _mm256_max_ps(_mm256_loadu_ps(x + i), zero));
    for (; i < n; ++i) x[i] = x[i] > 0.0f ? x[i] : 0.0f;
}

}  // namespace vantrel
