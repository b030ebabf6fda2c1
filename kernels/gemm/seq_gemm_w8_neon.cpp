// Neon weight-only int8 product: the lanes 0-3 and 4-7 of one row and token
// in two registers.
#include <arm_neon.h>

#include <algorithm>
#include <cstring>

#include "kernels/gemm/seq_gemm_w8.h"
#include "kernels/gemm/seq_gemm_w8_tiled.h"

namespace vantrel {

namespace {

// One token, R rows: R independent pairs of chains hide the FMA latency a
// single row waits on. The codes are widened straight from the int8 rows.
template <int R>
void dot_w8_rows_neon(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group,
                      float* out) {
    const int64_t groups = (k + group - 1) / group, whole = k / 8 * 8;
    // The rows two passes ahead, fetched while this pass runs: hardware
    // prefetchers follow interleaved rows poorly.
    const uintptr_t ahead = uintptr_t(q) + uintptr_t(2 * R * k);
    float32x4_t acc_lo[R], acc_hi[R];
    for (int r = 0; r < R; ++r) acc_lo[r] = acc_hi[r] = vdupq_n_f32(0.0f);
    for (int64_t k0 = 0, g = 0; k0 < k; k0 += group, ++g) {
        const int64_t k1 = std::min(whole, k0 + group);
        float32x4_t lo[R], hi[R];
        for (int r = 0; r < R; ++r) lo[r] = hi[r] = vdupq_n_f32(0.0f);
        auto block = [&](const float* xp, auto&& codes_of) {
            const float32x4_t v_lo = vld1q_f32(xp), v_hi = vld1q_f32(xp + 4);
            for (int r = 0; r < R; ++r) {
                const int16x8_t w = vmovl_s8(vld1_s8(codes_of(r)));
                lo[r] = vfmaq_f32(lo[r], v_lo, vcvtq_f32_s32(vmovl_s16(vget_low_s16(w))));
                hi[r] = vfmaq_f32(hi[r], v_hi, vcvtq_f32_s32(vmovl_s16(vget_high_s16(w))));
            }
        };
        for (int64_t i = k0; i < k1; i += 8) {
            for (int j = 0; j < 8 * R; j += 64)
                __builtin_prefetch(reinterpret_cast<const void*>(ahead + uintptr_t(R * i + j)));
            block(x + i, [&](int r) { return q + r * k + i; });
        }
        if (k0 + group > k && whole < k) {  // the zero-padded block at k
            float xs[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            int8_t qs[R][8] = {};
            std::memcpy(xs, x + whole, size_t(k - whole) * 4);
            for (int r = 0; r < R; ++r) std::memcpy(qs[r], q + r * k + whole, size_t(k - whole));
            block(xs, [&](int r) { return static_cast<const int8_t*>(qs[r]); });
        }
        for (int r = 0; r < R; ++r) {
            acc_lo[r] = vfmaq_n_f32(acc_lo[r], lo[r], scales[r * groups + g]);
            acc_hi[r] = vfmaq_n_f32(acc_hi[r], hi[r], scales[r * groups + g]);
        }
    }
    for (int r = 0; r < R; ++r) {
        float lanes[8];
        vst1q_f32(lanes, acc_lo[r]);
        vst1q_f32(lanes + 4, acc_hi[r]);
        out[r] = w8_lane_total(lanes);
    }
}

// Four rows: sixteen sums, two activation and a few code registers of the
// 32.
constexpr int kNeonRows = 4;

template <int R>
void dot_w8_upto_neon(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group, int rows,
                      float* out) {
    if constexpr (R > 1)
        if (rows < R) return dot_w8_upto_neon<R - 1>(x, q, scales, k, group, rows, out);
    dot_w8_rows_neon<R>(x, q, scales, k, group, out);
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
    if (t == 1) seq_gemm_w8_one(x, q, scales, bias, y, k, n, group, kNeonRows, &dot_w8_upto_neon<kNeonRows>);
}

}  // namespace vantrel
