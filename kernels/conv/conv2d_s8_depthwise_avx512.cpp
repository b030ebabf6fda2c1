// int8 depthwise 3x3 on AVX-512 with VNNI: 64 channels a step. The 9 taps
// go in groups of four (taps 0-3, 4-7, and 8 with three empty ones) whose
// bytes interleave into 32-bit lanes [x_t0, x_t1, x_t2, x_t3] of one
// channel, so one vpdpbusd sums four taps of 16 channels. vpdpbusd takes
// unsigned by signed bytes, so the inputs are offset by 128 (xor 0x80) and
// 128 times each channel's weight sum comes off its bias: the same exact
// 32-bit sums as the scalar reference. The interleave (unpacks inside
// 128-bit lanes) leaves channel 16q + 4j + r of a step in lane 4q + r of
// vector j; weights and requantisation parameters are laid out in that
// order once per call, and a 4x4 transpose of 32-bit elements puts the
// output bytes back in channel order. Partial steps load and store under a
// channel mask (padding channels carry zero weights).
// GCC 12 flags the deliberately undefined pass-through operands inside its
// AVX-512 intrinsic headers as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <vector>

#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/conv/conv2d_s8_depthwise_loops.h"
#include "kernels/simd/requant_x86.h"

namespace vantrel {

namespace {

// The interleaved weights, biases and requantisation of one call.
struct VnniPixel {
    int64_t c = 0, steps = 0;
    std::vector<int8_t> w;           // [step][group 3][j 4][64]
    std::vector<int32_t> bias;       // [step][j][16]: bias32 - 128 * weight sum
    std::vector<RequantLanes16> rq;  // [step][j]
    std::vector<__mmask64> keep;     // [step]: channels inside c

    VnniPixel(const int8_t* w_tap_major, const int32_t* bias32, const int32_t* multiplier,
              const int32_t* shift, int8_t out_zp, int64_t c_)
        : c(c_), steps((c_ + 63) / 64) {
        w.resize(size_t(steps) * 12 * 64);
        bias.resize(size_t(steps) * 4 * 16);
        keep.resize(size_t(steps));
        rq.reserve(size_t(steps) * 4);
        for (int64_t s = 0; s < steps; ++s) {
            const int64_t left = c - 64 * s;
            keep[size_t(s)] = left >= 64 ? ~__mmask64(0) : __mmask64((uint64_t(1) << left) - 1);
            for (int j = 0; j < 4; ++j) {
                int32_t m[16], e[16];
                int32_t* b = bias.data() + (s * 4 + j) * 16;
                __mmask16 lanes = 0;
                for (int i = 0; i < 16; ++i) {
                    const int64_t ch = 64 * s + 16 * (i / 4) + 4 * j + i % 4;
                    const bool in = ch < c;
                    uint32_t sum = 0;
                    for (int g = 0; g < 3; ++g)
                        for (int k = 0; k < 4; ++k) {
                            const int t = 4 * g + k;
                            const int8_t v = in && t < 9 ? w_tap_major[t * c + ch] : 0;
                            w[size_t(((s * 3 + g) * 4 + j) * 64 + 4 * i + k)] = v;
                            sum += uint32_t(int32_t(v));
                        }
                    m[i] = in ? multiplier[ch] : 0;
                    e[i] = in ? shift[ch] : 0;
                    b[i] = in ? int32_t(uint32_t(bias32 ? bias32[ch] : 0) - 128u * sum) : 0;
                    if (in) lanes = __mmask16(lanes | (1u << i));
                }
                rq.emplace_back(m, e, out_zp, lanes);
            }
        }
    }

    void run(const int8_t* const* taps, const int8_t*, const int32_t*, const int32_t*, const int32_t*, int8_t,
             int8_t* out, int64_t) const {
        const __m512i flip = _mm512_set1_epi8(char(0x80)), zero = _mm512_setzero_si512();
        for (int64_t s = 0; s < steps; ++s) {
            const int64_t ch = 64 * s;
            const __mmask64 k = keep[size_t(s)];
            const int8_t* ws = w.data() + s * 12 * 64;
            const int32_t* bs = bias.data() + s * 64;
            __m512i acc[4];
            for (int j = 0; j < 4; ++j) acc[j] = _mm512_loadu_si512(bs + 16 * j);
            for (int g = 0; g < 3; ++g) {
                __m512i x[4];
                for (int q = 0; q < 4; ++q) {
                    const int t = 4 * g + q;
                    x[q] = t < 9 ? _mm512_xor_si512(_mm512_maskz_loadu_epi8(k, taps[t] + ch), flip) : zero;
                }
                const __m512i l01 = _mm512_unpacklo_epi8(x[0], x[1]), h01 = _mm512_unpackhi_epi8(x[0], x[1]);
                const __m512i l23 = _mm512_unpacklo_epi8(x[2], x[3]), h23 = _mm512_unpackhi_epi8(x[2], x[3]);
                acc[0] = _mm512_dpbusd_epi32(acc[0], _mm512_unpacklo_epi16(l01, l23), _mm512_loadu_si512(ws + (g * 4 + 0) * 64));
                acc[1] = _mm512_dpbusd_epi32(acc[1], _mm512_unpackhi_epi16(l01, l23), _mm512_loadu_si512(ws + (g * 4 + 1) * 64));
                acc[2] = _mm512_dpbusd_epi32(acc[2], _mm512_unpacklo_epi16(h01, h23), _mm512_loadu_si512(ws + (g * 4 + 2) * 64));
                acc[3] = _mm512_dpbusd_epi32(acc[3], _mm512_unpackhi_epi16(h01, h23), _mm512_loadu_si512(ws + (g * 4 + 3) * 64));
            }
            __m128i y[4];
            for (int j = 0; j < 4; ++j) {
                const RequantLanes16& r = rq[size_t(s * 4 + j)];
                y[j] = r.rare ? r.apply<true>(acc[j]) : r.apply<false>(acc[j]);
            }
            // y[j] holds 32-bit groups q = 0..3 of channels 16q + 4j ..; the
            // output wants group 4q + j at 32-bit position 4q + j.
            const __m128i t0 = _mm_unpacklo_epi32(y[0], y[1]), t1 = _mm_unpacklo_epi32(y[2], y[3]);
            const __m128i t2 = _mm_unpackhi_epi32(y[0], y[1]), t3 = _mm_unpackhi_epi32(y[2], y[3]);
            __m512i o = _mm512_castsi128_si512(_mm_unpacklo_epi64(t0, t1));
            o = _mm512_inserti32x4(o, _mm_unpackhi_epi64(t0, t1), 1);
            o = _mm512_inserti32x4(o, _mm_unpacklo_epi64(t2, t3), 2);
            o = _mm512_inserti32x4(o, _mm_unpackhi_epi64(t2, t3), 3);
            if (k == ~__mmask64(0)) _mm512_storeu_si512(out + ch, o);
            else _mm512_mask_storeu_epi8(out + ch, k, o);
        }
    }
};
}  // namespace

void conv2d_s8_depthwise3x3_avx512(VANTREL_DEPTHWISE3X3_S8_ARGS) {
    if (c <= 0) return;
    const VnniPixel px(w_tap_major, bias32, multiplier, shift, out_zp, c);
    depthwise3x3_s8<VnniPixel>(in, w_tap_major, bias32, multiplier, shift, in_zp, out_zp, out, c, h, w, stride,
                               px);
}

}  // namespace vantrel
