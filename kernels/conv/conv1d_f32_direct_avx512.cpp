// GCC 12 takes the undefined pass-through operands inside its AVX-512
// intrinsic headers for uninitialised reads.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <vector>

#include "kernels/conv/conv1d_f32_direct.h"
#include "kernels/conv/conv1d_f32_direct_loops.h"

namespace vantrel {

namespace {

// Tiles of 16 output channels, one per 512-bit register: the 4-channel
// weight blocks are laid out again per call as 16-channel blocks, element
// [b][k][c][j] = W[16b + j][k][c] (zero past cout), so each term is one
// load of weights and one broadcast of an input. Each lane sums its channel
// over (k, c) from 0 with one fused multiply-add per term, the portable
// order.
struct Avx512DirectRange {
    // R time steps from t by NV blocks from q; stores only channels [o0, o1).
    template <int R, int NV>
    static void tile(const Conv1dDirectArgs& a, int64_t q, int64_t o0, int64_t o1, int64_t t) {
        const int64_t bstride = a.k * a.cin * 16;
        __m512 acc[R][NV];
        for (int r = 0; r < R; ++r)
            for (int v = 0; v < NV; ++v) acc[r][v] = _mm512_setzero_ps();
        for (int64_t kk = 0; kk < a.k; ++kk) {
            const float* x = a.p + (t + kk * a.dil) * a.cin;
            const float* w0 = a.wp + q * bstride + kk * a.cin * 16;
            for (int64_t c = 0; c < a.cin; ++c) {
                __m512 w[NV];
                for (int v = 0; v < NV; ++v) w[v] = _mm512_loadu_ps(w0 + v * bstride + c * 16);
                for (int r = 0; r < R; ++r) {
                    const __m512 xv = _mm512_set1_ps(x[r * a.cin + c]);
                    for (int v = 0; v < NV; ++v) acc[r][v] = _mm512_fmadd_ps(xv, w[v], acc[r][v]);
                }
            }
        }
        for (int v = 0; v < NV; ++v) {
            const int64_t o = 16 * (q + v), lo = std::max(o0, o) - o, hi = std::min(o1, o + 16) - o;
            if (lo >= hi) continue;
            const __mmask16 m = __mmask16(((1u << hi) - 1) & ~((1u << lo) - 1));
            const __m512 b = a.bias ? _mm512_maskz_loadu_ps(m, a.bias + o) : _mm512_setzero_ps();
            for (int r = 0; r < R; ++r) {
                __m512 s = acc[r][v];
                if (a.bias) s = _mm512_add_ps(s, b);
                if (a.relu) s = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(s, _mm512_setzero_ps(), _CMP_GT_OQ), s);
                _mm512_mask_storeu_ps(a.out + (t + r) * a.cout + o, m, s);
            }
        }
    }

    template <int NV>
    static void steps(const Conv1dDirectArgs& a, int64_t q, int64_t o0, int64_t o1, int64_t t0, int64_t t1) {
        int64_t t = t0;
        for (; t + 12 <= t1; t += 12) tile<12, NV>(a, q, o0, o1, t);
        for (; t < t1; ++t) tile<1, NV>(a, q, o0, o1, t);
    }

    // 4-channel blocks [b0, b1) over steps [t0, t1).
    static void run(const Conv1dDirectArgs& a, int64_t b0, int64_t b1, int64_t t0, int64_t t1) {
        const int64_t o0 = 4 * b0, o1 = std::min(4 * b1, a.cout);
        int64_t q = o0 / 16;
        const int64_t qend = (o1 + 15) / 16;
        for (; q + 2 <= qend; q += 2) steps<2>(a, q, o0, o1, t0, t1);
        if (q < qend) steps<1>(a, q, o0, o1, t0, t1);
    }
};

}  // namespace

// 12 steps x 32 channels: 24 of the 32 vector registers accumulate.
void conv1d_f32_direct_avx512(VANTREL_CONV1D_DIRECT_F32_ARGS) {
    if (l_out <= 0 || cout <= 0 || k <= 0) return;
    const int64_t K = k, C = cin, blocks16 = (int64_t(cout) + 15) / 16;
    std::vector<float> w16(size_t(blocks16 * K * C * 16), 0.0f);
    for (int64_t o = 0; o < cout; ++o)
        for (int64_t kk = 0; kk < K; ++kk)
            for (int64_t c = 0; c < C; ++c)
                w16[size_t((((o / 16) * K + kk) * C + c) * 16 + o % 16)] = wp[(((o / 4) * K + kk) * C + c) * 4 + o % 4];
    conv1d_direct_run<Avx512DirectRange>(
        Conv1dDirectArgs{p, w16.data(), bias, out, cin, l_out, cout, k, dilation, relu});
}

}  // namespace vantrel
