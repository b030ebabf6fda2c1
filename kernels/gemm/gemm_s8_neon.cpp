// Arm int8 GEMM on the signed dot product. One 16-byte half of a packed
// group is 4 columns x 4 k; sdot by element adds one row's 4-byte A group
// to it, so a 16-byte load of A feeds 4 groups. The register tile is 8 rows
// x 8 columns (16 accumulators), wider for fewer rows. A is copied once per
// row stripe into zero-padded rows, so every A load is a whole 16 bytes.
#include <arm_neon.h>

#include <cstring>

#include "kernels/gemm/gemm_s8.h"
#include "kernels/gemm/gemm_s8_stripes.h"

namespace vantrel {

namespace {

struct Neon {
    using Elem = int8_t;
    static constexpr int kRows = 8;
    static constexpr int64_t kLdaAlign = 16;
    static constexpr int64_t kBlockBytes = 128 * 1024;
    static constexpr int64_t kStripeBytes = 128 * 1024;
    static constexpr bool kSumsWeights = false;
    static constexpr int max_panels(int r) { return r <= 2 ? 4 : r <= 4 ? 2 : 1; }
    static void copy_rows(const GemmS8Args& g, int64_t r0, int64_t r1, int8_t* dst, int64_t lda);
    template <int R, int NP>
    static void tile(const GemmS8Args& g, const S8ColParams& cp, int64_t p0, const int8_t* a,
                     int64_t lda, int64_t row, int64_t p);
};

void Neon::copy_rows(const GemmS8Args& g, int64_t r0, int64_t r1, int8_t* dst, int64_t lda) {
    for (int64_t r = r0; r < r1; ++r) {
        int8_t* d = dst + (r - r0) * lda;
        if (g.k > 0) std::memcpy(d, g.a + r * g.k, size_t(g.k));
        std::memset(d + g.k, 0, size_t(lda - g.k));
    }
}

// Epilogue of a rows x (np * 8) tile of sums (row stride ld) at (row, panel p).
// vqrdmulh and vqrshl are the two fixed-point steps of requantize() exactly,
// vqadd its saturating add of out_zp (shifts are clamped to [-32, 32],
// within the instruction's byte count).
void finish(const GemmS8Args& g, const S8ColParams& cp, int64_t p0, const int32_t* acc,
            int64_t ld, int rows, int64_t row, int64_t p, int np) {
    alignas(16) int32_t tmp[Neon::kRows * 8];
    for (int q = 0; q < np; ++q) {
        const S8Panel pn = s8_panel(g, p0, row, p + q, false, tmp);
        const int64_t off = pn.off;
        auto dst = [&](int r, size_t es) { return pn.dst(r, es); };
        const int32x4_t b0 = vld1q_s32(cp.bias.data() + off), b1 = vld1q_s32(cp.bias.data() + off + 4);
        auto sums = [&](int r, int h) {
            return vaddq_s32(vld1q_s32(acc + r * ld + q * 8 + h * 4), h ? b1 : b0);
        };
        switch (g.kind) {
            case S8Out::Int8: {
                const int32x4_t m0 = vld1q_s32(cp.mult.data() + off), m1 = vld1q_s32(cp.mult.data() + off + 4);
                const int32x4_t s0 = vld1q_s32(cp.shift.data() + off), s1 = vld1q_s32(cp.shift.data() + off + 4);
                const int32x4_t zp = vdupq_n_s32(g.out_zp);
                for (int r = 0; r < rows; ++r) {
                    const int32x4_t v0 = vqaddq_s32(vqrshlq_s32(vqrdmulhq_s32(sums(r, 0), m0), s0), zp);
                    const int32x4_t v1 = vqaddq_s32(vqrshlq_s32(vqrdmulhq_s32(sums(r, 1), m1), s1), zp);
                    vst1_s8(reinterpret_cast<int8_t*>(dst(r, 1)),
                            vqmovn_s16(vcombine_s16(vqmovn_s32(v0), vqmovn_s32(v1))));
                }
                break;
            }
            case S8Out::Float: {
                const float32x4_t c0 = vld1q_f32(cp.scale.data() + off), c1 = vld1q_f32(cp.scale.data() + off + 4);
                for (int r = 0; r < rows; ++r) {
                    float* d = reinterpret_cast<float*>(dst(r, 4));
                    vst1q_f32(d, vmulq_f32(vcvtq_f32_s32(sums(r, 0)), c0));
                    vst1q_f32(d + 4, vmulq_f32(vcvtq_f32_s32(sums(r, 1)), c1));
                }
                break;
            }
            case S8Out::Int32:
                for (int r = 0; r < rows; ++r) {
                    int32_t* d = reinterpret_cast<int32_t*>(dst(r, 4));
                    vst1q_s32(d, sums(r, 0));
                    vst1q_s32(d + 4, sums(r, 1));
                }
                break;
        }
        pn.flush(g, rows);
    }
}

// One group (lane L of each row's 16 A bytes) into every accumulator.
template <int R, int NP, int L>
inline void step(int32x4_t (&acc)[R][NP][2], const int8x16_t (&av)[R], const int8_t* b,
                 int64_t stride, int64_t gi) {
    for (int q = 0; q < NP; ++q) {
        const int8_t* bg = b + q * stride + (gi + L) * kS8GroupBytes;
        const int8x16_t w0 = vld1q_s8(bg), w1 = vld1q_s8(bg + 16);
        for (int r = 0; r < R; ++r) {
            acc[r][q][0] = vdotq_laneq_s32(acc[r][q][0], w0, av[r], L);
            acc[r][q][1] = vdotq_laneq_s32(acc[r][q][1], w1, av[r], L);
        }
    }
}

// R rows of the A copy (rows lda bytes apart) times NP panels from p.
template <int R, int NP>
void Neon::tile(const GemmS8Args& g, const S8ColParams& cp, int64_t p0, const int8_t* a,
                int64_t lda, int64_t row, int64_t p) {
    const int64_t stride = g.kg * kS8GroupBytes;
    const int8_t* b = g.bp + p * stride;
    int32x4_t acc[R][NP][2];
    for (int r = 0; r < R; ++r)
        for (int q = 0; q < NP; ++q) acc[r][q][0] = acc[r][q][1] = vdupq_n_s32(0);
    int64_t gi = 0;
    for (; gi + 4 <= g.kg; gi += 4) {
        int8x16_t av[R];
        for (int r = 0; r < R; ++r) av[r] = vld1q_s8(a + r * lda + gi * 4);
        step<R, NP, 0>(acc, av, b, stride, gi);
        step<R, NP, 1>(acc, av, b, stride, gi);
        step<R, NP, 2>(acc, av, b, stride, gi);
        step<R, NP, 3>(acc, av, b, stride, gi);
    }
    // The last 1 to 3 groups: the A rows are padded, the panel is not.
    for (; gi < g.kg; ++gi) {
        int8x16_t av[R];
        for (int r = 0; r < R; ++r) {
            int32_t a4;
            std::memcpy(&a4, a + r * lda + gi * 4, 4);
            av[r] = vreinterpretq_s8_s32(vdupq_n_s32(a4));
        }
        step<R, NP, 0>(acc, av, b, stride, gi);
    }
    alignas(16) int32_t out[R * NP * 8];
    for (int q = 0; q < NP; ++q)
        for (int r = 0; r < R; ++r) {
            vst1q_s32(out + (r * NP + q) * 8, acc[r][q][0]);
            vst1q_s32(out + (r * NP + q) * 8 + 4, acc[r][q][1]);
        }
    finish(g, cp, p0, out, NP * 8, R, row, p, NP);
}

}  // namespace

VANTREL_GEMM_S8_ENTRIES(gemm_s8_requant_neon, gemm_s8_s32_neon, gemm_s8_residual_neon,
                        kStripesPath<Neon>)

}  // namespace vantrel
