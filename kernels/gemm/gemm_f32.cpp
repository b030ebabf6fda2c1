// Portable float GEMM: 4-column panels, 8x8 pair tiles, 8x4 single tiles
// and 1x4 remainder-row tiles, every term one std::fmaf.
#include "kernels/gemm/gemm_f32.h"

#include <cmath>

#include "kernels/gemm/gemm_f32_split.h"

namespace vantrel {

namespace {

constexpr int64_t kPanel = 4;

inline float epilogue(float s, const float* bias, int64_t col, bool relu) {
    if (bias) s += bias[col];
    if (relu) s = s > 0.0f ? s : 0.0f;
    return s;
}

// ROWS rows starting at `row` times PANELS consecutive panels starting at p.
// One loop over k replaces a 4-step loop plus a one-at-a-time tail; only
// the per-output order (k increasing, one fused multiply-add each) matters.
template <int ROWS, int PANELS>
void tile(const GemmF32Args& g, int64_t row, int64_t p) {
    constexpr int C = PANELS * kPanel;
    float acc[ROWS][C] = {};
    const int64_t K = g.k;
    const float* b = g.bp + p * K * kPanel;
    const float* a = g.a + row * K;
    for (int64_t k = 0; k < K; ++k) {
        for (int r = 0; r < ROWS; ++r) {
            const float av = a[r * K + k];
            for (int q = 0; q < PANELS; ++q) {
                const float* bk = b + (q * K + k) * kPanel;
                for (int j = 0; j < kPanel; ++j)
                    acc[r][q * kPanel + j] = std::fmaf(av, bk[j], acc[r][q * kPanel + j]);
            }
        }
    }
    const int64_t col0 = p * kPanel;
    const int64_t cols = g.n - col0 < C ? g.n - col0 : C;  // trims a partial last panel
    for (int r = 0; r < ROWS; ++r) {
        float* y = g.y + (row + r) * g.n + col0;
        for (int64_t j = 0; j < cols; ++j) y[j] = epilogue(acc[r][j], g.bias, col0 + j, g.relu);
    }
    gemm_f32_tile_epilogue(g, row, ROWS, col0, cols);
}

void range(const GemmF32Args& g, int64_t r0, int64_t r1, int64_t p0, int64_t p1) {
    int64_t row = r0;
    for (; row + 8 <= r1; row += 8) {
        int64_t p = p0;
        for (; p + 1 < p1 && (p + 2) * kPanel <= g.n; p += 2) tile<8, 2>(g, row, p);
        for (; p < p1; ++p) tile<8, 1>(g, row, p);
    }
    for (; row < r1; ++row)
        for (int64_t p = p0; p < p1; ++p) tile<1, 1>(g, row, p);
}

const GemmF32Tiling kTiling{8, kPanel, &range};

}  // namespace

VANTREL_GEMM_F32_ENTRY_POINTS(portable, kPanel, kTiling)

void relu_f32_portable(float* x, int32_t n, void* /*stream*/) {
    for (int64_t i = 0; i < n; ++i) x[i] = x[i] > 0.0f ? x[i] : 0.0f;
}

}  // namespace vantrel
