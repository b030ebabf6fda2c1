// Direct 1-D convolution tiles for AVX2. A 256-bit register holds two
// 4-channel weight blocks, loaded as two halves; each lane is one output
// channel summing over (k, c) from 0 with one vfmadd per term, exactly the
// portable order. Rows is the number of time steps of a main tile.
#pragma once
#include <immintrin.h>

#include <algorithm>

#include "kernels/conv/conv1d_f32_direct_loops.h"

namespace vantrel {
namespace {

template <int Rows>
struct X86DirectRange {
    // Tile of R time steps x NV registers (2*NV blocks starting at b; a block
    // at or past `bend` repeats the last valid one and is not stored).
    template <int R, int NV>
    static void tile(const Conv1dDirectArgs& a, int64_t b, int64_t bend, int64_t t) {
        const int64_t bstride = a.k * a.cin * 4;
        const float* lo[NV];
        const float* hi[NV];
        for (int q = 0; q < NV; ++q) {
            const int64_t bl = std::min(b + 2 * q, bend - 1), bh = std::min(b + 2 * q + 1, bend - 1);
            lo[q] = a.wp + bl * bstride;
            hi[q] = a.wp + bh * bstride;
        }
        __m256 acc[R][NV];
        for (int r = 0; r < R; ++r)
            for (int q = 0; q < NV; ++q) acc[r][q] = _mm256_setzero_ps();
        for (int64_t kk = 0; kk < a.k; ++kk) {
            const float* x = a.p + (t + kk * a.dil) * a.cin;
            const int64_t off0 = kk * a.cin * 4;
            for (int64_t c = 0; c < a.cin; ++c) {
                const int64_t off = off0 + c * 4;
                __m256 w[NV];
                for (int q = 0; q < NV; ++q) w[q] = _mm256_loadu2_m128(hi[q] + off, lo[q] + off);
                for (int r = 0; r < R; ++r) {
                    const __m256 xv = _mm256_set1_ps(x[r * a.cin + c]);
                    for (int q = 0; q < NV; ++q) acc[r][q] = _mm256_fmadd_ps(xv, w[q], acc[r][q]);
                }
            }
        }
        const __m256 zero = _mm256_setzero_ps();
        for (int r = 0; r < R; ++r) {
            float* y = a.out + (t + r) * a.cout;
            for (int q = 0; q < NV; ++q) {
                const int64_t o = 4 * (b + 2 * q);
                if (b + 2 * q >= bend) break;
                if (b + 2 * q + 1 < bend && o + 8 <= a.cout) {
                    __m256 s = acc[r][q];
                    if (a.bias) s = _mm256_add_ps(s, _mm256_loadu_ps(a.bias + o));
                    if (a.relu) s = _mm256_and_ps(s, _mm256_cmp_ps(s, zero, _CMP_GT_OQ));
                    _mm256_storeu_ps(y + o, s);
                    continue;
                }
                alignas(32) float lanes[8];
                _mm256_store_ps(lanes, acc[r][q]);
                const int64_t valid = std::min<int64_t>((b + 2 * q + 1 < bend) ? 8 : 4, a.cout - o);
                for (int64_t j = 0; j < valid; ++j)
                    y[o + j] = conv1d_direct_finish(lanes[j], a.bias, o + j, a.relu);
            }
        }
    }

    template <int NV>
    static void columns(const Conv1dDirectArgs& a, int64_t b, int64_t bend, int64_t t0, int64_t t1) {
        int64_t t = t0;
        for (; t + Rows <= t1; t += Rows) tile<Rows, NV>(a, b, bend, t);
        for (; t < t1; ++t) tile<1, NV>(a, b, bend, t);
    }

    static void run(const Conv1dDirectArgs& a, int64_t b0, int64_t b1, int64_t t0, int64_t t1) {
        int64_t b = b0;
        for (; b + 4 <= b1; b += 4) columns<2>(a, b, b + 4, t0, t1);
        for (; b < b1; b += 2) columns<1>(a, b, std::min(b + 2, b1), t0, t1);
    }
};

}  // namespace
}  // namespace vantrel
