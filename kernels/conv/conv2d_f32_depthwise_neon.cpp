#include <arm_neon.h>

#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/conv2d_f32_depthwise_loops.h"

namespace vantrel {

namespace {
// Keeps lanes with s > 0; NaN, -0 and negatives become +0.
inline float32x4_t relu4(float32x4_t s) {
    return vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(s), vcgtq_f32(s, vdupq_n_f32(0.0f))));
}

struct NeonPixel {
    struct Vec {
        using T = float32x4_t;
        using M = int;  // lanes in use, from the first
        static constexpr int L = 4;
        // Eight pixels' sums: enough chains for the FMA pipes.
        static constexpr int kStripPixels = 8;
        // Two rows of 5x5 fit: 16 sums and 10 weight vectors.
        static constexpr int kPairMaxK = 5;
        static M mask(int64_t left) { return left >= 4 ? 4 : int(left); }
        static T zero() { return vdupq_n_f32(0.0f); }
        // Holds a loaded input in a register, so the compiler does not load
        // it again for each multiply-add.
        static void keep(T& x) { __asm__("" : "+w"(x)); }
        template <bool Masked>
        static T load(const float* p, M m) {
            if (!Masked) return vld1q_f32(p);
            float v[4] = {0.0f, 0.0f, 0.0f, 0.0f};
            for (int l = 0; l < m; ++l) v[l] = p[l];
            return vld1q_f32(v);
        }
        template <bool Masked>
        static void store(float* p, M m, T x) {
            if (!Masked) return vst1q_f32(p, x);
            float v[4];
            vst1q_f32(v, x);
            for (int l = 0; l < m; ++l) p[l] = v[l];
        }
        static T fma(T x, T w, T acc) { return vfmaq_f32(acc, x, w); }
        static T add(T a, T b) { return vaddq_f32(a, b); }
        static T relu(T a) { return relu4(a); }
        // lo > v ? lo : v, then hi < v ? hi : v, as epi_clamp (NaN stays,
        // and -0 against a +0 bound stays -0).
        static T clamp(T v, float lo, float hi) {
            const float32x4_t l = vdupq_n_f32(lo), h = vdupq_n_f32(hi);
            v = vbslq_f32(vcgtq_f32(l, v), l, v);
            return vbslq_f32(vcltq_f32(h, v), h, v);
        }
    };
    static void run(const float* const* taps, const int64_t* index, int n, const float* w_taps,
                    const float* bias, float* out, int64_t cout, int64_t mult, bool relu) {
        int64_t o = 0;
        // Two vectors per step keep two independent FMA chains in flight.
        for (; o + 8 <= cout; o += 8) {
            float32x4_t a0 = vdupq_n_f32(0.0f), a1 = vdupq_n_f32(0.0f);
            for (int i = 0; i < n; ++i) {
                const float* wr = w_taps + index[i] * cout + o;
                float32x4_t x0, x1;
                if (mult == 1) {
                    x0 = vld1q_f32(taps[i] + o);
                    x1 = vld1q_f32(taps[i] + o + 4);
                } else {
                    float xs[8];
                    for (int l = 0; l < 8; ++l) xs[l] = taps[i][(o + l) / mult];
                    x0 = vld1q_f32(xs);
                    x1 = vld1q_f32(xs + 4);
                }
                a0 = vfmaq_f32(a0, x0, vld1q_f32(wr));
                a1 = vfmaq_f32(a1, x1, vld1q_f32(wr + 4));
            }
            if (bias) {
                a0 = vaddq_f32(a0, vld1q_f32(bias + o));
                a1 = vaddq_f32(a1, vld1q_f32(bias + o + 4));
            }
            if (relu) {
                a0 = relu4(a0);
                a1 = relu4(a1);
            }
            vst1q_f32(out + o, a0);
            vst1q_f32(out + o + 4, a1);
        }
        for (; o < cout; ++o)
            out[o] = depthwise_channel_f32(taps, index, n, w_taps, bias, o, o / mult, cout, relu);
    }

    // Pixels of one row reading the same tap columns, P at a time: each
    // weight vector feeds P independent sums, each summed over the taps in
    // (ky, kx) order as run() does; the last cout mod 4 channels go one by one
    // in that same order.
    template <int P>
    static void span_block(const float* const* rows, const int64_t* tap_base, int nrows, int64_t nkx,
                           int64_t dil_c, int64_t step_c, int64_t off, const float* w_taps,
                           const float* bias, float* out, int64_t cout, bool relu) {
        int64_t o = 0;
        for (; o + 4 <= cout; o += 4) {
            float32x4_t acc[P];
            for (int q = 0; q < P; ++q) acc[q] = vdupq_n_f32(0.0f);
            for (int j = 0; j < nrows; ++j) {
                const float* r = rows[j] + off + o;
                const float* wr = w_taps + tap_base[j] * cout + o;
                for (int64_t kx = 0; kx < nkx; ++kx) {
                    const float32x4_t wv = vld1q_f32(wr + kx * cout);
                    const float* x = r + kx * dil_c;
                    for (int q = 0; q < P; ++q) acc[q] = vfmaq_f32(acc[q], vld1q_f32(x + q * step_c), wv);
                }
            }
            for (int q = 0; q < P; ++q) {
                float32x4_t a = acc[q];
                if (bias) a = vaddq_f32(a, vld1q_f32(bias + o));
                if (relu) a = relu4(a);
                vst1q_f32(out + q * cout + o, a);
            }
        }
        for (; o < cout; ++o)
            for (int q = 0; q < P; ++q) {
                float s = 0.0f;
                for (int j = 0; j < nrows; ++j)
                    for (int64_t kx = 0; kx < nkx; ++kx)
                        s = std::fmaf(rows[j][off + q * step_c + kx * dil_c + o],
                                      w_taps[(tap_base[j] + kx) * cout + o], s);
                if (bias) s = s + bias[o];
                if (relu) s = s > 0.0f ? s : 0.0f;
                out[q * cout + o] = s;
            }
    }
    static void span(const float* const* rows, const int64_t* tap_base, int nrows, int64_t nkx, int64_t dil_c,
                     int64_t step_c, const float* w_taps, const float* bias, float* out, int64_t cout,
                     int64_t npix, bool relu) {
        depthwise_span_blocks<NeonPixel, 8>(rows, tap_base, nrows, nkx, dil_c, step_c, w_taps, bias, out, cout,
                                           npix, relu);
    }
};
}  // namespace

VANTREL_DEPTHWISE_F32_ENTRY_POINTS(neon, NeonPixel)

}  // namespace vantrel
