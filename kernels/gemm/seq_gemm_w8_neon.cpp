// Neon weight-only int8 dot products: a token's lanes 0-3 and 4-7 in two
// registers; each block of eight codes is widened once for up to four tokens.
#include <arm_neon.h>

#include <algorithm>
#include <cstring>

#include "kernels/gemm/seq_gemm_w8.h"
#include "kernels/gemm/seq_gemm_w8_tiled.h"

namespace vantrel {

namespace {

template <int M>
void dot_w8_tokens_neon(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group,
                        float* out) {
    float32x4_t acc_lo[M], acc_hi[M];
    for (int m = 0; m < M; ++m) acc_lo[m] = acc_hi[m] = vdupq_n_f32(0.0f);
    for (int64_t k0 = 0, g = 0; k0 < k; k0 += group, ++g) {
        const int64_t k1 = std::min(k, k0 + group);
        float32x4_t lo[M], hi[M];
        for (int m = 0; m < M; ++m) lo[m] = hi[m] = vdupq_n_f32(0.0f);
        for (int64_t i = k0; i < k1; i += 8) {
            const bool tail = i + 8 > k1;  // zero-padded last block of the group
            int8_t qs[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            const int8_t* qp = q + i;
            if (tail) {
                std::memcpy(qs, qp, size_t(k1 - i));
                qp = qs;
            }
            const int16x8_t w = vmovl_s8(vld1_s8(qp));
            const float32x4_t c_lo = vcvtq_f32_s32(vmovl_s16(vget_low_s16(w)));
            const float32x4_t c_hi = vcvtq_f32_s32(vmovl_s16(vget_high_s16(w)));
            for (int m = 0; m < M; ++m) {
                float xs[8] = {0, 0, 0, 0, 0, 0, 0, 0};
                const float* xp = x + m * k + i;
                if (tail) {
                    std::memcpy(xs, xp, size_t(k1 - i) * 4);
                    xp = xs;
                }
                lo[m] = vfmaq_f32(lo[m], vld1q_f32(xp), c_lo);
                hi[m] = vfmaq_f32(hi[m], vld1q_f32(xp + 4), c_hi);
            }
        }
        for (int m = 0; m < M; ++m) {
            acc_lo[m] = vfmaq_n_f32(acc_lo[m], lo[m], scales[g]);
            acc_hi[m] = vfmaq_n_f32(acc_hi[m], hi[m], scales[g]);
        }
    }
    for (int m = 0; m < M; ++m) {
        float lanes[8];
        vst1q_f32(lanes, acc_lo[m]);
        vst1q_f32(lanes + 4, acc_hi[m]);
        out[m] = w8_lane_total(lanes);
    }
}

void dot_w8_neon(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group, int tokens,
                 float* out) {
    switch (tokens) {
        case 4: dot_w8_tokens_neon<4>(x, q, scales, k, group, out); break;
        case 3: dot_w8_tokens_neon<3>(x, q, scales, k, group, out); break;
        case 2: dot_w8_tokens_neon<2>(x, q, scales, k, group, out); break;
        default: dot_w8_tokens_neon<1>(x, q, scales, k, group, out); break;
    }
}

// A tile of the many-token product: lanes 0-3 and 4-7 of each sum in two
// registers, as above.
struct W8TilesNeon : W8RowCodes {
    template <int R, int M>
    static void run(const W8TileArgs& a) {
        float32x4_t acc_lo[R][M], acc_hi[R][M];
        for (int r = 0; r < R; ++r)
            for (int m = 0; m < M; ++m) acc_lo[r][m] = acc_hi[r][m] = vdupq_n_f32(0.0f);
        for (int64_t k0 = 0, g = 0; k0 < a.k; k0 += a.group, ++g) {
            const int64_t k1 = std::min(a.k, k0 + a.group);
            float32x4_t lo[R][M], hi[R][M];
            for (int r = 0; r < R; ++r)
                for (int m = 0; m < M; ++m) lo[r][m] = hi[r][m] = vdupq_n_f32(0.0f);
            for (int64_t i = k0; i < k1; i += 8) {
                // The widened codes are zero past k; the activations are
                // copied into zeros there (only at k: groups are whole
                // blocks of eight).
                const bool tail = i + 8 > k1;
                float32x4_t c_lo[R], c_hi[R];
                for (int r = 0; r < R; ++r) {
                    c_lo[r] = vld1q_f32(a.codes + r * a.kp + i);
                    c_hi[r] = vld1q_f32(a.codes + r * a.kp + i + 4);
                }
                for (int m = 0; m < M; ++m) {
                    float xs[8] = {0, 0, 0, 0, 0, 0, 0, 0};
                    const float* xp = a.x + m * a.k + i;
                    if (tail) {
                        std::memcpy(xs, xp, size_t(k1 - i) * 4);
                        xp = xs;
                    }
                    const float32x4_t v_lo = vld1q_f32(xp), v_hi = vld1q_f32(xp + 4);
                    for (int r = 0; r < R; ++r) {
                        lo[r][m] = vfmaq_f32(lo[r][m], v_lo, c_lo[r]);
                        hi[r][m] = vfmaq_f32(hi[r][m], v_hi, c_hi[r]);
                    }
                }
            }
            for (int r = 0; r < R; ++r) {
                const float s = a.scales[r * a.groups + g];
                for (int m = 0; m < M; ++m) {
                    acc_lo[r][m] = vfmaq_n_f32(acc_lo[r][m], lo[r][m], s);
                    acc_hi[r][m] = vfmaq_n_f32(acc_hi[r][m], hi[r][m], s);
                }
            }
        }
        for (int r = 0; r < R; ++r)
            for (int m = 0; m < M; ++m) {
                float lanes[8];
                vst1q_f32(lanes, acc_lo[r][m]);
                vst1q_f32(lanes + 4, acc_hi[r][m]);
                const float v = w8_lane_total(lanes);
                a.y[m * a.n + r] = a.bias ? v + a.bias[r] : v;
            }
    }
};

}  // namespace

void k_seq_gemm_w8_f32_neon(const float* x, const int8_t* q, const float* scales, const float* bias,
                            float* y, int32_t t, int32_t k, int32_t n, int32_t group, void*) {
    // Two rows by three tokens: 24 sums, four code and two activation
    // registers of the 32.
    if (t > 1) return seq_gemm_w8_tiled<W8TilesNeon, 2, 3>(x, q, scales, bias, y, t, k, n, group);
    seq_gemm_w8_rows(x, q, scales, bias, y, t, k, n, group, &dot_w8_neon);
}

}  // namespace vantrel
