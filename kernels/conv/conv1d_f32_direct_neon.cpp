// Advanced SIMD direct 1-D convolution: a tile of 8 time steps x 8 channels
// (two weight blocks, 16 accumulators). Four input channels of each step are
// loaded at once and used by lane, so each accumulator lane still adds its
// terms over (k, c) in increasing order with one fused multiply-add each,
// bit-identical to the portable path.
#include <arm_neon.h>

#include "kernels/conv/conv1d_f32_direct.h"
#include "kernels/conv/conv1d_f32_direct_loops.h"

namespace vantrel {

namespace {

struct NeonRange {
    template <int R, int NB, int J>
    static inline void lane_step(float32x4_t (&acc)[R][NB], const float* const (&w)[NB],
                                 int64_t off, const float32x4_t (&xv)[R]) {
        float32x4_t wv[NB];
        for (int q = 0; q < NB; ++q) wv[q] = vld1q_f32(w[q] + off + J * 4);
        for (int r = 0; r < R; ++r)
            for (int q = 0; q < NB; ++q) acc[r][q] = vfmaq_laneq_f32(acc[r][q], wv[q], xv[r], J);
    }

    template <int R, int NB>
    static void tile(const Conv1dDirectArgs& a, int64_t b, int64_t t) {
        const int64_t bstride = a.k * a.cin * 4;
        const float* w[NB];
        for (int q = 0; q < NB; ++q) w[q] = a.wp + (b + q) * bstride;
        float32x4_t acc[R][NB];
        for (int r = 0; r < R; ++r)
            for (int q = 0; q < NB; ++q) acc[r][q] = vdupq_n_f32(0.0f);
        for (int64_t kk = 0; kk < a.k; ++kk) {
            const float* x = a.p + (t + kk * a.dil) * a.cin;
            const int64_t off0 = kk * a.cin * 4;
            int64_t c = 0;
            for (; c + 4 <= a.cin; c += 4) {
                float32x4_t xv[R];
                for (int r = 0; r < R; ++r) xv[r] = vld1q_f32(x + r * a.cin + c);
                const int64_t off = off0 + c * 4;
                lane_step<R, NB, 0>(acc, w, off, xv);
                lane_step<R, NB, 1>(acc, w, off, xv);
                lane_step<R, NB, 2>(acc, w, off, xv);
                lane_step<R, NB, 3>(acc, w, off, xv);
            }
            for (; c < a.cin; ++c) {
                float32x4_t wv[NB];
                for (int q = 0; q < NB; ++q) wv[q] = vld1q_f32(w[q] + off0 + c * 4);
                for (int r = 0; r < R; ++r) {
                    const float xs = x[r * a.cin + c];
                    for (int q = 0; q < NB; ++q) acc[r][q] = vfmaq_n_f32(acc[r][q], wv[q], xs);
                }
            }
        }
        const float32x4_t zero = vdupq_n_f32(0.0f);
        for (int r = 0; r < R; ++r) {
            float* y = a.out + (t + r) * a.cout;
            for (int q = 0; q < NB; ++q) {
                const int64_t o = 4 * (b + q);
                float32x4_t s = acc[r][q];
                if (o + 4 <= a.cout) {
                    if (a.bias) s = vaddq_f32(s, vld1q_f32(a.bias + o));
                    // Keeps lanes with s > 0; NaN, -0 and negatives become +0.
                    if (a.relu)
                        s = vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(s), vcgtq_f32(s, zero)));
                    vst1q_f32(y + o, s);
                    continue;
                }
                float lanes[4];
                vst1q_f32(lanes, s);
                for (int64_t j = 0; o + j < a.cout; ++j)
                    y[o + j] = conv1d_direct_finish(lanes[j], a.bias, o + j, a.relu);
            }
        }
    }

    template <int NB>
    static void columns(const Conv1dDirectArgs& a, int64_t b, int64_t t0, int64_t t1) {
        int64_t t = t0;
        for (; t + 8 <= t1; t += 8) tile<8, NB>(a, b, t);
        for (; t < t1; ++t) tile<1, NB>(a, b, t);
    }

    static void run(const Conv1dDirectArgs& a, int64_t b0, int64_t b1, int64_t t0, int64_t t1) {
        int64_t b = b0;
        for (; b + 2 <= b1; b += 2) columns<2>(a, b, t0, t1);
        if (b < b1) columns<1>(a, b, t0, t1);
    }
};

}  // namespace

void conv1d_f32_direct_neon(VANTREL_CONV1D_DIRECT_F32_ARGS) {
    conv1d_direct_run<NeonRange>(VANTREL_CONV1D_DIRECT_ARGS_STRUCT);
}

}  // namespace vantrel
