// Advanced SIMD float GEMM on the 4-column panels: 8x8 pair tiles and 8x4
// single tiles, with the reduction in steps of 4 k (vfmaq_laneq_f32 on four
// consecutive A values) and a one-at-a-time tail (vfmaq_n_f32). Remainder
// rows run one row against up to four panels at once. Each lane is one
// output column summing over k from 0 with one fused multiply-add per term.
#include <arm_neon.h>

#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_f32_split.h"

namespace vantrel {

namespace {

constexpr int64_t kPanel = 4;

template <int L, int R, int NP>
inline void step(float32x4_t (&acc)[R][NP], const float32x4_t (&av)[R], const float* b,
                 int64_t K, int64_t k) {
    float32x4_t bv[NP];
    for (int q = 0; q < NP; ++q) bv[q] = vld1q_f32(b + (q * K + k + L) * kPanel);
    for (int r = 0; r < R; ++r)
        for (int q = 0; q < NP; ++q) acc[r][q] = vfmaq_laneq_f32(acc[r][q], bv[q], av[r], L);
}

template <int R, int NP>
void tile(const GemmF32Args& g, int64_t row, int64_t p) {
    const int64_t K = g.k;
    const float* b = g.bp + p * K * kPanel;
    const float* a[R];
    for (int r = 0; r < R; ++r) a[r] = g.a + (row + r) * K;
    float32x4_t acc[R][NP];
    for (int r = 0; r < R; ++r)
        for (int q = 0; q < NP; ++q) acc[r][q] = vdupq_n_f32(0.0f);
    int64_t k = 0;
    for (; k + 4 <= K; k += 4) {
        float32x4_t av[R];
        for (int r = 0; r < R; ++r) av[r] = vld1q_f32(a[r] + k);
        step<0>(acc, av, b, K, k);
        step<1>(acc, av, b, K, k);
        step<2>(acc, av, b, K, k);
        step<3>(acc, av, b, K, k);
    }
    for (; k < K; ++k) {
        for (int q = 0; q < NP; ++q) {
            const float32x4_t bq = vld1q_f32(b + (q * K + k) * kPanel);
            for (int r = 0; r < R; ++r) acc[r][q] = vfmaq_n_f32(acc[r][q], bq, a[r][k]);
        }
    }
    const float32x4_t zero = vdupq_n_f32(0.0f);
    for (int q = 0; q < NP; ++q) {
        const int64_t col = (p + q) * kPanel;
        const int64_t cnt = g.n - col < kPanel ? g.n - col : kPanel;  // >= 1
        float tmp[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        float32x4_t bias = zero;
        if (g.bias) {
            if (cnt == kPanel) {
                bias = vld1q_f32(g.bias + col);
            } else {
                for (int64_t j = 0; j < cnt; ++j) tmp[j] = g.bias[col + j];
                bias = vld1q_f32(tmp);
            }
        }
        for (int r = 0; r < R; ++r) {
            float32x4_t x = acc[r][q];
            if (g.bias) x = vaddq_f32(x, bias);
            if (g.relu) x = vbslq_f32(vcgtq_f32(x, zero), x, zero);  // NaN -> +0
            float* y = g.y + (row + r) * g.n + col;
            if (cnt == kPanel) {
                vst1q_f32(y, x);
            } else {
                vst1q_f32(tmp, x);
                for (int64_t j = 0; j < cnt; ++j) y[j] = tmp[j];
            }
        }
    }
    const int64_t col0 = p * kPanel, cols = g.n - col0 < NP * kPanel ? g.n - col0 : NP * kPanel;
    gemm_f32_tile_epilogue(g, row, R, col0, cols);
}

void range(const GemmF32Args& g, int64_t r0, int64_t r1, int64_t p0, int64_t p1) {
    int64_t row = r0;
    for (; row + 8 <= r1; row += 8) {
        int64_t p = p0;
        for (; p + 1 < p1 && (p + 2) * kPanel <= g.n; p += 2) tile<8, 2>(g, row, p);
        for (; p < p1; ++p) tile<8, 1>(g, row, p);
    }
    for (; row < r1; ++row) {
        int64_t p = p0;
        for (; p + 4 <= p1; p += 4) tile<1, 4>(g, row, p);
        for (; p < p1; ++p) tile<1, 1>(g, row, p);
    }
}

const GemmF32Tiling kTiling{8, kPanel, &range};

}  // namespace

VANTREL_GEMM_F32_ENTRY_POINTS(neon, kPanel, kTiling)

void relu_f32_neon(float* x, int32_t n, void* /*stream*/) {
    const float32x4_t zero = vdupq_n_f32(0.0f);
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const float32x4_t v = vld1q_f32(x + i);
        vst1q_f32(x + i, vbslq_f32(vcgtq_f32(v, zero), v, zero));
    }
    for (; i < n; ++i) x[i] = x[i] > 0.0f ? x[i] : 0.0f;
}

}  // namespace vantrel
