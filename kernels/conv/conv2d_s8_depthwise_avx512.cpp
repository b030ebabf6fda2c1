// int8 depthwise 3x3 on AVX-512 with VNNI: 64 channels a step. The three
// taps of a window column (ky = 0..2 at one kx) interleave into 32-bit lanes
// [x_0, x_1, x_2, pad] of one channel, with a zero fourth weight, so one
// vpdpbusd sums a column of 16 channels (VnniColumns). vpdpbusd takes
// unsigned by signed bytes, so the inputs are offset by 128 (xor 0x80) and
// 128 times each channel's weight sum comes off its bias: the same exact
// 32-bit sums as the scalar reference. The interleave (unpacks inside
// 128-bit lanes) leaves channel 16q + 4j + r of a step in lane 4q + r of
// vector j; weights and requantisation parameters are laid out in that
// order once per call, and a 4x4 transpose of 32-bit elements puts the
// output bytes back in channel order. Partial steps load and store under a
// channel mask (padding channels carry zero weights). The layout is built
// with the same vector steps, so it costs little next to one image.
// Layers of 16 or 32 channels at stride 1 fill a step with 4 or 2
// neighbouring pixels, and the last 16 or 32 channels of a wider layer
// likewise (a masked step would leave 3/4 or 1/2 of its lanes empty). Layers
// of fewer than 64 channels otherwise, and small images of a layer with such
// a tail, take 16-bit products, 32 channels a step with pairs of taps summed
// by vpmaddwd (PairPixel), then 16 at a time, requantised on 16 lanes.
// GCC 12 flags the deliberately undefined pass-through operands inside its
// AVX-512 intrinsic headers as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/conv/conv2d_s8_depthwise_loops.h"
#include "kernels/simd/requant_x86.h"

namespace vantrel {

namespace {

inline __m512i load16x32(const int32_t* p) { return _mm512_loadu_si512(p); }

// (2xm + 2^31) >> 32 as (xm + 2^30) >> 31; only x = m = INT32_MIN saturates.
inline __m512i sqrdmulh(__m512i x, __m512i m) {
    const __m512i rnd = _mm512_set1_epi64(int64_t(1) << 30);
    __m512i even = _mm512_add_epi64(_mm512_mul_epi32(x, m), rnd);
    __m512i odd = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(x, 32), _mm512_srli_epi64(m, 32)), rnd);
    __m512i r = _mm512_mask_blend_epi32(__mmask16(0xAAAA), _mm512_srli_epi64(even, 31), _mm512_slli_epi64(odd, 1));
    const __m512i min = _mm512_set1_epi32(INT32_MIN);
    __mmask16 sat = _mm512_cmpeq_epi32_mask(x, min) & _mm512_cmpeq_epi32_mask(m, min);
    return _mm512_mask_blend_epi32(sat, r, _mm512_set1_epi32(INT32_MAX));
}

// Per-lane rounding shift, shifts clamped to [-32, 32]: beyond them every
// value rounds to 0 (right) or saturates (left).
inline __m512i rounding_shift(__m512i t, __m512i e) {
    e = _mm512_min_epi32(_mm512_max_epi32(e, _mm512_set1_epi32(-32)), _mm512_set1_epi32(32));
    const __m512i zero = _mm512_setzero_si512();
    __m512i left = shift_left_saturate(t, _mm512_max_epi32(e, zero));
    __m512i s = _mm512_max_epi32(_mm512_sub_epi32(zero, e), zero);
    // (t + 2^(s-1)) >> s without overflow: (t >> s) + bit s-1 of t.
    __m512i bit = _mm512_and_si512(_mm512_srav_epi32(t, _mm512_sub_epi32(s, _mm512_set1_epi32(1))),
                                   _mm512_set1_epi32(1));
    __m512i right = _mm512_add_epi32(_mm512_srav_epi32(t, s), bit);
    return _mm512_mask_blend_epi32(_mm512_cmpge_epi32_mask(e, zero), right, left);
}

// Whether some lane of (m, e) leaves the common case: m = INT32_MIN (the
// doubling overflow), a shift of 0 or more (left shifts, no rounding) or
// below -32 (clamped).
inline bool rare_lanes(__m512i m, __m512i e) {
    return (_mm512_cmpeq_epi32_mask(m, _mm512_set1_epi32(INT32_MIN)) |
            _mm512_cmpgt_epi32_mask(e, _mm512_set1_epi32(-1)) |
            _mm512_cmplt_epi32_mask(e, _mm512_set1_epi32(-32))) != 0;
}

// requantize for lanes in the common case only: the same doubling high
// multiply (no overflow to catch), the rounding right shift by s = -e in
// [1, 32], and out_zp added without a clamp (|u| <= 2^30 cannot overflow;
// the narrowing saturates as the clamped sum would).
inline __m128i requant_common(__m512i x, __m512i m, __m512i e, __m512i zp) {
    const __m512i rnd = _mm512_set1_epi64(int64_t(1) << 30);
    const __m512i even = _mm512_add_epi64(_mm512_mul_epi32(x, m), rnd);
    const __m512i odd = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(x, 32), _mm512_srli_epi64(m, 32)), rnd);
    const __m512i t = _mm512_mask_blend_epi32(__mmask16(0xAAAA), _mm512_srli_epi64(even, 31), _mm512_slli_epi64(odd, 1));
    const __m512i s = _mm512_sub_epi32(_mm512_setzero_si512(), e);
    const __m512i bit = _mm512_and_si512(_mm512_srav_epi32(t, _mm512_sub_epi32(s, _mm512_set1_epi32(1))),
                                         _mm512_set1_epi32(1));
    return _mm512_cvtsepi32_epi8(_mm512_add_epi32(_mm512_add_epi32(_mm512_srav_epi32(t, s), bit), zp));
}

// Channels [ch0, c) of one pixel, 16 at a time with 16-bit products (one
// 16-lane int32 sum per 16 channels), then one at a time.
inline void pixel_tail16(const int8_t* const* taps, const int8_t* w_tap_major, const int32_t* bias32,
                         const int32_t* multiplier, const int32_t* shift, int8_t out_zp, int8_t* out, int64_t ch,
                         int64_t c) {
    const __m512i zp = _mm512_set1_epi32(out_zp);
    for (; ch + 16 <= c; ch += 16) {
        __m512i acc = _mm512_setzero_si512();
        for (int t = 0; t < 9; ++t) {
            // |x*w| <= 2^14, exact in 16 bits.
            __m256i p = _mm256_mullo_epi16(
                _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(taps[t] + ch))),
                _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w_tap_major + t * c + ch))));
            acc = _mm512_add_epi32(acc, _mm512_cvtepi16_epi32(p));
        }
        if (bias32) acc = _mm512_add_epi32(acc, load16x32(bias32 + ch));
        __m512i u = rounding_shift(sqrdmulh(acc, load16x32(multiplier + ch)), load16x32(shift + ch));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + ch), _mm512_cvtsepi32_epi8(add_zero_point_saturate(u, zp)));
    }
    for (; ch < c; ++ch)
        out[ch] = depthwise3x3_channel_s8(taps, w_tap_major, bias32, multiplier, shift, out_zp, ch, c);
}

// Layers of fewer channels: 32 channels a step with vpmaddwd on pairs of
// taps (0-1, 2-3, 4-5, 6-7, then 8 with a zero), each pair's 16-bit inputs
// and weights interleaved by an unpack inside 128-bit lanes. The unpack's
// low half sums channels 8q + 0..3 in lanes 4q + 0..3, its high half
// channels 8q + 4..7: biases and requantisation parameters are laid out in
// those orders once per call, and the two halves' output bytes interleave
// back by 32-bit groups. The sums are the same exact integers as the
// reference's (products below 2^14, pair sums below 2^15).
struct PairPixel {
    int64_t blocks = 0;  // whole steps of 32 channels
    int8_t out_zp_ = 0;
    struct Step {
        __m512i w[5][2];  // [pair][low, high half]
        __m512i bias[2], mult[2], shift[2];
        bool rare;
    };
    std::vector<Step> steps;

    PairPixel(const int8_t* w_tap_major, const int32_t* bias32, const int32_t* multiplier, const int32_t* shift,
              int8_t out_zp, int64_t c)
        : blocks(c / 32), out_zp_(out_zp), steps(size_t(c / 32)) {
        const __m512i zero = _mm512_setzero_si512();
        for (int64_t b = 0; b < blocks; ++b) {
            Step& st = steps[size_t(b)];
            const int64_t ch = 32 * b;
            for (int q = 0; q < 5; ++q) {
                const __m512i w0 = _mm512_cvtepi8_epi16(
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w_tap_major + 2 * q * c + ch)));
                const __m512i w1 = q < 4 ? _mm512_cvtepi8_epi16(_mm256_loadu_si256(
                                               reinterpret_cast<const __m256i*>(w_tap_major + (2 * q + 1) * c + ch)))
                                         : zero;
                st.w[q][0] = _mm512_unpacklo_epi16(w0, w1);
                st.w[q][1] = _mm512_unpackhi_epi16(w0, w1);
            }
            alignas(64) int32_t lanes[3][2][16];
            for (int half = 0; half < 2; ++half)
                for (int i = 0; i < 16; ++i) {
                    const int64_t o = ch + 8 * (i / 4) + 4 * half + i % 4;
                    lanes[0][half][i] = bias32 ? bias32[o] : 0;
                    lanes[1][half][i] = multiplier[o];
                    lanes[2][half][i] = shift[o];
                }
            for (int half = 0; half < 2; ++half) {
                st.bias[half] = _mm512_load_si512(lanes[0][half]);
                st.mult[half] = _mm512_load_si512(lanes[1][half]);
                st.shift[half] = _mm512_load_si512(lanes[2][half]);
            }
            st.rare = rare_lanes(st.mult[0], st.shift[0]) || rare_lanes(st.mult[1], st.shift[1]);
        }
    }

    void run(const int8_t* const* taps, const int8_t* w_tap_major, const int32_t* bias32, const int32_t* multiplier,
             const int32_t* shift, int8_t out_zp, int8_t* out, int64_t c) const {
        const __m512i zp = _mm512_set1_epi32(out_zp_), zero = _mm512_setzero_si512();
        for (int64_t b = 0; b < blocks; ++b) {
            const Step& st = steps[size_t(b)];
            const int64_t ch = 32 * b;
            __m512i lo = st.bias[0], hi = st.bias[1];
            for (int q = 0; q < 5; ++q) {
                const __m512i x0 =
                    _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(taps[2 * q] + ch)));
                const __m512i x1 = q < 4 ? _mm512_cvtepi8_epi16(_mm256_loadu_si256(
                                               reinterpret_cast<const __m256i*>(taps[2 * q + 1] + ch)))
                                         : zero;
                lo = _mm512_add_epi32(lo, _mm512_madd_epi16(_mm512_unpacklo_epi16(x0, x1), st.w[q][0]));
                hi = _mm512_add_epi32(hi, _mm512_madd_epi16(_mm512_unpackhi_epi16(x0, x1), st.w[q][1]));
            }
            __m128i yl, yh;
            if (st.rare) {
                yl = _mm512_cvtsepi32_epi8(add_zero_point_saturate(rounding_shift(sqrdmulh(lo, st.mult[0]), st.shift[0]), zp));
                yh = _mm512_cvtsepi32_epi8(add_zero_point_saturate(rounding_shift(sqrdmulh(hi, st.mult[1]), st.shift[1]), zp));
            } else {
                yl = requant_common(lo, st.mult[0], st.shift[0], zp);
                yh = requant_common(hi, st.mult[1], st.shift[1], zp);
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + ch), _mm_unpacklo_epi32(yl, yh));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + ch + 16), _mm_unpackhi_epi32(yl, yh));
        }
        pixel_tail16(taps, w_tap_major, bias32, multiplier, shift, out_zp, out, 32 * blocks, c);
    }
};

// The three taps of one column of the window (ky = 0, 1, 2 at one kx) go in
// one 32-bit lane [x_0, x_1, x_2, pad] per channel, with a zero fourth
// weight, so one vpdpbusd sums a whole column of 16 channels. An input
// column interleaved that way serves every output whose window holds it
// (three neighbours at stride 1, two at stride 2): each output row
// interleaves its input columns once, a chunk of outputs at a time into a
// small buffer, and each output then takes three vpdpbusd per 16 channels.
struct VnniColumns {
    int64_t c = 0, steps = 0;
    int8_t out_zp_ = 0;
    std::vector<int8_t> wcol;        // [step][kx 3][j 4][64]
    std::vector<int32_t> bias;       // [step][j][16]: bias32 - 128 * weight sum
    std::vector<RequantLanes16> rq;  // [step][j]
    // The usual requantisation's vectors alone, [step][j], few enough for
    // L1 on wide layers.
    struct Usual {
        __m512i mult, rnd_even, rnd_odd, sh_even, sh_odd;
    };
    std::vector<Usual> usual;
    std::vector<char> rare;          // [step][j]: the full steps needed
    std::vector<__mmask64> keep;     // [step]: channels inside c

    // Columns of 256 bytes a buffer holds: 8 KiB stays well inside L1
    // beside the rows they come from.
    static constexpr int64_t kCols = 33;
    // Channels of a pixel, and pixels a step covers: narrow layers (16 or
    // 32 channels, stride 1) take 64 / pc neighbouring pixels a step, with
    // weights and parameters repeated for each.
    int64_t pc = 0, pack = 1;
    // Steps rows() runs: all of them, or the whole ones when a packed tail
    // (tail_rows) takes the rest.
    int64_t run_steps = 0;

    VnniColumns(const int8_t* w_tap_major, const int32_t* bias32, const int32_t* multiplier,
                const int32_t* shift, int8_t out_zp, int64_t c_)
        : c(c_), steps((c_ + 63) / 64), out_zp_(out_zp), pc(c_), run_steps((c_ + 63) / 64) {
        wcol.resize(size_t(steps) * 12 * 64);
        bias.resize(size_t(steps) * 4 * 16);
        keep.resize(size_t(steps));
        rq.reserve(size_t(steps) * 4);
        usual.reserve(size_t(steps) * 4);
        const __m512i zero = _mm512_setzero_si512(), ones = _mm512_set1_epi8(1);
        for (int64_t s = 0; s < steps; ++s) {
            const int64_t ch = 64 * s, left = c - ch;
            const __mmask64 k = left >= 64 ? ~__mmask64(0) : __mmask64((uint64_t(1) << left) - 1);
            keep[size_t(s)] = k;
            // The weights go through the inputs' interleave; their sums per
            // lane come from one more product with bytes of one.
            __m512i sum[4] = {zero, zero, zero, zero};
            for (int kx = 0; kx < 3; ++kx) {
                __m512i v[4];
                interleave(_mm512_maskz_loadu_epi8(k, w_tap_major + kx * c + ch),
                           _mm512_maskz_loadu_epi8(k, w_tap_major + (3 + kx) * c + ch),
                           _mm512_maskz_loadu_epi8(k, w_tap_major + (6 + kx) * c + ch), zero, v);
                for (int j = 0; j < 4; ++j) {
                    _mm512_storeu_si512(wcol.data() + ((s * 3 + kx) * 4 + j) * 64, v[j]);
                    sum[j] = _mm512_dpbusd_epi32(sum[j], ones, v[j]);
                }
            }
            // Per-channel values in the lanes' order: vector j's 128-bit
            // chunk q is chunk j of channels [16q, 16q + 16), a 4x4
            // transpose of chunks.
            auto lanes = [&](const int32_t* src, __m512i (&p)[4]) {
                __m512i x[4];
                for (int q = 0; q < 4; ++q) {
                    const int64_t n = std::min<int64_t>(16, std::max<int64_t>(0, left - 16 * q));
                    x[q] = src ? _mm512_maskz_loadu_epi32(__mmask16((1u << n) - 1), src + ch + 16 * q) : zero;
                }
                const __m512i a0 = _mm512_shuffle_i32x4(x[0], x[1], _MM_SHUFFLE(1, 0, 1, 0));
                const __m512i a1 = _mm512_shuffle_i32x4(x[0], x[1], _MM_SHUFFLE(3, 2, 3, 2));
                const __m512i a2 = _mm512_shuffle_i32x4(x[2], x[3], _MM_SHUFFLE(1, 0, 1, 0));
                const __m512i a3 = _mm512_shuffle_i32x4(x[2], x[3], _MM_SHUFFLE(3, 2, 3, 2));
                p[0] = _mm512_shuffle_i32x4(a0, a2, _MM_SHUFFLE(2, 0, 2, 0));
                p[1] = _mm512_shuffle_i32x4(a0, a2, _MM_SHUFFLE(3, 1, 3, 1));
                p[2] = _mm512_shuffle_i32x4(a1, a3, _MM_SHUFFLE(2, 0, 2, 0));
                p[3] = _mm512_shuffle_i32x4(a1, a3, _MM_SHUFFLE(3, 1, 3, 1));
            };
            __m512i b[4], m[4], e[4];
            lanes(bias32, b);
            lanes(multiplier, m);
            lanes(shift, e);
            for (int j = 0; j < 4; ++j) {
                _mm512_storeu_si512(bias.data() + (s * 4 + j) * 16, _mm512_sub_epi32(b[j], _mm512_slli_epi32(sum[j], 7)));
                int32_t mj[16], ej[16];
                _mm512_storeu_si512(mj, m[j]);
                _mm512_storeu_si512(ej, e[j]);
                __mmask16 in = 0;
                for (int i = 0; i < 16; ++i)
                    if (16 * (i / 4) + 4 * j + i % 4 < left) in = __mmask16(in | (1u << i));
                rq.emplace_back(mj, ej, out_zp, in);
                const RequantLanes16& r = rq.back();
                usual.push_back(Usual{r.mult, r.rnd_even, r.rnd_odd, r.sh_even, r.sh_odd});
                rare.push_back(r.rare);
            }
        }
    }

    // Bytes of four taps of 64 channels to 32-bit lanes [t0, t1, t2, t3]:
    // channel 16q + 4j + r lands in lane 4q + r of v[j] (unpacks stay inside
    // 128-bit lanes).
    static void interleave(__m512i x0, __m512i x1, __m512i x2, __m512i x3, __m512i (&v)[4]) {
        const __m512i l01 = _mm512_unpacklo_epi8(x0, x1), h01 = _mm512_unpackhi_epi8(x0, x1);
        const __m512i l23 = _mm512_unpacklo_epi8(x2, x3), h23 = _mm512_unpackhi_epi8(x2, x3);
        v[0] = _mm512_unpacklo_epi16(l01, l23);
        v[1] = _mm512_unpackhi_epi16(l01, l23);
        v[2] = _mm512_unpacklo_epi16(h01, h23);
        v[3] = _mm512_unpackhi_epi16(h01, h23);
    }

    static __mmask64 lanes_below(int64_t n) { return n >= 64 ? ~__mmask64(0) : __mmask64((uint64_t(1) << n) - 1); }

    // The 64 bytes of one tap row (null: the padding) for the column at ix
    // and channels from ch: channels [ch, ch + 64) of pixel ix, or with
    // `pack` pixels a step pixels ix .. ix + pack - 1 whole, those outside
    // the image reading in_zp (ix >= -1 and ix < w).
    template <int PACK>
    __m512i column(const int8_t* row, int64_t ix, int64_t w, int64_t ch, __mmask64 k, __m512i zp_in) const {
        if (!row) return zp_in;
        if (PACK == 1) return _mm512_mask_loadu_epi8(zp_in, k, row + ix * pc + ch);
        if (ix >= 0) return _mm512_mask_loadu_epi8(zp_in, lanes_below((w - ix) * pc), row + ix * pc);
        // ix = -1: pixels 0 .. pack - 2 move up by one pixel over in_zp.
        const __m512i v = _mm512_mask_loadu_epi8(zp_in, lanes_below(std::min<int64_t>(PACK - 1, w) * pc), row);
        return PACK == 2 ? _mm512_alignr_epi64(v, zp_in, 4) : _mm512_alignr_epi64(v, zp_in, 6);
    }

    // Step 0's 64 lanes over PACK output pixels of 64 / PACK channels each,
    // channels [ch0, pc) of the image's pc (at most 64 / PACK of them): the
    // last channels of a layer whose steps of 64 leave a few over. Each
    // group of PACK neighbouring outputs gathers its three window columns
    // itself (pixel p of the group in 128- or 256-bit lane p); the weights
    // and parameters repeat per pixel.
    template <int PACK>
    void tail_rows(const int8_t* in, int64_t lo, int64_t h, int64_t w, int64_t stride, int8_t in_zp, int8_t* out,
                   int64_t ow, int64_t oy0, int64_t oy1, int64_t ch0) const {
        constexpr int64_t T = 64 / PACK;
        const int64_t tc = pc - ch0;  // channels per pixel in the tail
        const __mmask64 kt = lanes_below(tc);
        const __m512i flip = _mm512_set1_epi8(char(0x80));
        const __m512i zp_in = _mm512_set1_epi8(char(in_zp));
        const __m512i zp = _mm512_set1_epi32(out_zp_);
        __m512i wv[12];
        for (int i = 0; i < 12; ++i) wv[i] = _mm512_loadu_si512(wcol.data() + i * 64);
        for (int64_t oy = oy0; oy < oy1; ++oy) {
            const int8_t* row[3];
            for (int ky = 0; ky < 3; ++ky) {
                const int64_t iy = oy * stride - 1 + ky;
                row[ky] = iy >= 0 && iy < h ? in + (iy - lo) * w * pc + ch0 : nullptr;
            }
            int8_t* orow = out + (oy - oy0) * ow * pc + ch0;
            for (int64_t ox = 0; ox < ow; ox += PACK) {
                __m512i acc[4];
                for (int j = 0; j < 4; ++j) acc[j] = _mm512_loadu_si512(bias.data() + 16 * j);
                for (int kx = 0; kx < 3; ++kx) {
                    __m512i x[3];
                    for (int ky = 0; ky < 3; ++ky) {
                        __m512i v = zp_in;
                        if (row[ky])
                            for (int p = 0; p < PACK; ++p) {
                                const int64_t ix = (ox + p) * stride - 1 + kx;
                                if (ix < 0 || ix >= w) continue;
                                v = _mm512_mask_loadu_epi8(v, kt << (p * T), row[ky] + ix * pc - p * T);
                            }
                        x[ky] = _mm512_xor_si512(v, flip);
                    }
                    __m512i v[4];
                    interleave(x[0], x[1], x[2], x[2], v);
                    for (int j = 0; j < 4; ++j) acc[j] = _mm512_dpbusd_epi32(acc[j], v[j], wv[4 * kx + j]);
                }
                const __m512i o = requant_transposed(acc, 0, zp);
                // Lane p * T + i to channel ch0 + i of pixel ox + p (the
                // address of lane 0 lies inside the row: ch0 >= 64 > p * T).
                for (int64_t p = 0; p < PACK && ox + p < ow; ++p)
                    _mm512_mask_storeu_epi8(orow + (ox + p) * pc - p * T, kt << (p * T), o);
            }
        }
    }

    // The 64 output bytes of step s's sums, back in channel order.
    __m512i requant_transposed(const __m512i (&acc)[4], int64_t s, __m512i zp) const {
        __m128i y[4];
        for (int j = 0; j < 4; ++j) {
            const size_t i = size_t(s * 4 + j);
            const Usual& u = usual[i];
            y[j] = rare[i] ? rq[i].apply<true>(acc[j])
                           : RequantLanes16::apply_usual(acc[j], u.mult, _mm512_srli_epi64(u.mult, 32), u.rnd_even,
                                                         u.rnd_odd, u.sh_even, u.sh_odd, zp);
        }
        // y[j] holds 32-bit groups q = 0..3 of channels 16q + 4j ..; the
        // output wants group 4q + j at 32-bit position 4q + j.
        const __m128i t0 = _mm_unpacklo_epi32(y[0], y[1]), t1 = _mm_unpacklo_epi32(y[2], y[3]);
        const __m128i t2 = _mm_unpackhi_epi32(y[0], y[1]), t3 = _mm_unpackhi_epi32(y[2], y[3]);
        __m512i o = _mm512_castsi128_si512(_mm_unpacklo_epi64(t0, t1));
        o = _mm512_inserti32x4(o, _mm_unpackhi_epi64(t0, t1), 1);
        o = _mm512_inserti32x4(o, _mm_unpacklo_epi64(t2, t3), 2);
        return _mm512_inserti32x4(o, _mm_unpackhi_epi64(t2, t3), 3);
    }

    // Output rows [oy0, oy1) of an h x w image into out (row oy0 first),
    // from `in` holding the image rows from lo on.
    template <int PACK>
    void rows(const int8_t* in, int64_t lo, int64_t h, int64_t w, int64_t stride, int8_t in_zp, int8_t* out,
              int64_t ow, int64_t oy0, int64_t oy1) const {
        alignas(64) uint8_t cols[kCols * 256];
        const int64_t chunk = ((kCols - 3) / stride + 1) / PACK * PACK;  // outputs whose windows fit
        const __m512i flip = _mm512_set1_epi8(char(0x80));
        const __m512i pad = _mm512_set1_epi8(char(uint8_t(in_zp) ^ 0x80));
        const __m512i zp = _mm512_set1_epi32(out_zp_);
        const __m512i zp_in = _mm512_set1_epi8(char(in_zp));
        for (int64_t oy = oy0; oy < oy1; ++oy) {
            const int8_t* row[3];
            for (int ky = 0; ky < 3; ++ky) {
                const int64_t iy = oy * stride - 1 + ky;
                row[ky] = iy >= 0 && iy < h ? in + (iy - lo) * w * pc : nullptr;
            }
            int8_t* orow = out + (oy - oy0) * ow * pc;
            for (int64_t s = 0; s < run_steps; ++s) {
                const int64_t ch = 64 * s;
                const __mmask64 k = keep[size_t(s)];
                const int8_t* ws = wcol.data() + s * 12 * 64;
                __m512i wv[12];
                for (int i = 0; i < 12; ++i) wv[i] = _mm512_loadu_si512(ws + i * 64);
                const int32_t* bs = bias.data() + s * 64;
                for (int64_t ox0 = 0; ox0 < ow; ox0 += chunk) {
                    const int64_t ox1 = std::min(ow, ox0 + chunk);
                    const int64_t ix0 = ox0 * stride - 1, ix1 = (ox1 - 1) * stride + 2;  // columns [ix0, ix1)
                    for (int64_t ix = ix0; ix < ix1; ++ix) {
                        __m512i* dst = reinterpret_cast<__m512i*>(cols + (ix - ix0) * 256);
                        if (ix + PACK <= 0 || ix >= w) {
                            for (int j = 0; j < 4; ++j) _mm512_store_si512(dst + j, pad);
                            continue;
                        }
                        __m512i x[3];
                        for (int ky = 0; ky < 3; ++ky) x[ky] = _mm512_xor_si512(column<PACK>(row[ky], ix, w, ch, k, zp_in), flip);
                        __m512i v[4];
                        interleave(x[0], x[1], x[2], x[2], v);
                        for (int j = 0; j < 4; ++j) _mm512_store_si512(dst + j, v[j]);
                    }
                    for (int64_t ox = ox0; ox < ox1; ox += PACK) {
                        const __m512i* col = reinterpret_cast<const __m512i*>(cols + (ox - ox0) * stride * 256);
                        __m512i acc[4];
                        for (int j = 0; j < 4; ++j) {
                            acc[j] = _mm512_loadu_si512(bs + 16 * j);
                            acc[j] = _mm512_dpbusd_epi32(acc[j], _mm512_load_si512(col + j), wv[j]);
                            acc[j] = _mm512_dpbusd_epi32(acc[j], _mm512_load_si512(col + 4 + j), wv[4 + j]);
                            acc[j] = _mm512_dpbusd_epi32(acc[j], _mm512_load_si512(col + 8 + j), wv[8 + j]);
                        }
                        const __m512i o = requant_transposed(acc, s, zp);
                        int8_t* dst = orow + ox * pc + ch;
                        const __mmask64 kk = PACK > 1 && ox + PACK > ow ? lanes_below((ow - ox) * pc) : k;
                        if (kk == ~__mmask64(0)) _mm512_storeu_si512(dst, o);
                        else _mm512_mask_storeu_epi8(dst, kk, o);
                    }
                }
            }
        }
    }
};
}  // namespace

// Below this many output pixels, laying out the repeated parameters of a
// packed step costs more than it saves (a microsecond or two).
constexpr int64_t kPackMinPixels = 128;

namespace {
// The parameters of channels [ch0, c) repeated for 64 / T pixels of T
// channels each (T of 16, 32 or 64 when ch0 = 0 and c = T), as one step.
VnniColumns packed_columns(const int8_t* w_tap_major, const int32_t* bias32, const int32_t* multiplier,
                           const int32_t* shift, int8_t out_zp, int64_t c, int64_t ch0, int64_t t) {
    std::vector<int8_t> taps(9 * 64);
    std::vector<int32_t> b(64), m(64), e(64);
    for (int64_t i = 0; i < 64; ++i) {
        const int64_t ch = ch0 + i % t;
        const bool in = ch < c;  // lanes past the layer's channels: zero weights and scale
        for (int64_t t9 = 0; t9 < 9; ++t9) taps[size_t(t9 * 64 + i)] = in ? w_tap_major[t9 * c + ch] : 0;
        b[size_t(i)] = in && bias32 ? bias32[ch] : 0;
        m[size_t(i)] = in ? multiplier[ch] : 0;
        e[size_t(i)] = in ? shift[ch] : 0;
    }
    VnniColumns cols(taps.data(), b.data(), m.data(), e.data(), out_zp, 64);
    cols.pc = c;
    cols.pack = 64 / t;
    return cols;
}
}  // namespace

// A layer's pieces, built once (depthwise3x3_layout_s8_avx512) or for one call.
struct DepthwiseS8Layout {
    int64_t c = 0;
    std::unique_ptr<VnniColumns> whole;        // 16 or 32 channels: whole pixels a step
    std::unique_ptr<VnniColumns> split, tail;  // the whole steps, then the tail's pixels
    std::unique_ptr<PairPixel> pair;           // 16-bit products
    std::unique_ptr<VnniColumns> cols;         // steps of 64
};

namespace {
// The layouts a layer runs on: the 16-bit pixels, or the columns with
// perhaps a packed tail.
struct Plan {
    const PairPixel* px = nullptr;
    const VnniColumns* cols = nullptr;
    const VnniColumns* tail = nullptr;
};

enum class Pick { Whole, Split, Pair, Cols };

// The piece that suits a layer of c channels on an image of `big` output
// size at this stride.
Pick pick(int64_t c, bool big, int64_t stride) {
    // 64 / c whole pixels a step, read as one run of bytes.
    if (big && stride == 1 && (c == 16 || c == 32)) return Pick::Whole;
    // The whole steps, then the tail's channels of 2 or 4 pixels a step.
    const int64_t tail = c % 64;
    if (big && c > 64 && tail > 0 && tail <= 32) return Pick::Split;
    // Steps of 64 channels pay off where few of their lanes stay empty: on
    // fewer than 64 channels, or a small image of fewer than 128 with a
    // tail, the 16-bit products run.
    if (c < 64 || (!big && c < 128 && tail > 0)) return Pick::Pair;
    return Pick::Cols;
}

void build(DepthwiseS8Layout& l, Pick k, const int8_t* w_tap_major, const int32_t* bias32, const int32_t* multiplier,
           const int32_t* shift, int8_t out_zp, int64_t c) {
    l.c = c;
    switch (k) {
        case Pick::Whole:
            if (!l.whole)
                l.whole = std::make_unique<VnniColumns>(
                    packed_columns(w_tap_major, bias32, multiplier, shift, out_zp, c, 0, c));
            break;
        case Pick::Split:
            if (!l.split) {
                const int64_t tail = c % 64;
                l.split = std::make_unique<VnniColumns>(w_tap_major, bias32, multiplier, shift, out_zp, c);
                l.split->run_steps = c / 64;
                l.tail = std::make_unique<VnniColumns>(
                    packed_columns(w_tap_major, bias32, multiplier, shift, out_zp, c, c - tail, tail <= 16 ? 16 : 32));
            }
            break;
        case Pick::Pair:
            if (!l.pair) l.pair = std::make_unique<PairPixel>(w_tap_major, bias32, multiplier, shift, out_zp, c);
            break;
        case Pick::Cols:
            if (!l.cols) l.cols = std::make_unique<VnniColumns>(w_tap_major, bias32, multiplier, shift, out_zp, c);
            break;
    }
}

// Hands run the plan that suits the layer and image, from `laid` (a layer's
// layout of these weights) or from a layout built for this call.
template <class Run>
void depthwise_avx512(const DepthwiseS8Layout* laid, const int8_t* w_tap_major, const int32_t* bias32,
                      const int32_t* multiplier, const int32_t* shift, int8_t out_zp, int32_t c, int32_t h, int32_t w,
                      int32_t stride, const Run& run) {
    const bool big = conv_out_extent(h, 3, stride, 1, 1) * conv_out_extent(w, 3, stride, 1, 1) >= kPackMinPixels;
    const Pick k = pick(c, big, stride);
    DepthwiseS8Layout own;
    if (!laid || laid->c != c) {
        build(own, k, w_tap_major, bias32, multiplier, shift, out_zp, c);
        laid = &own;
    }
    Plan plan;
    switch (k) {
        case Pick::Whole: plan.cols = laid->whole.get(); break;
        case Pick::Split: plan.cols = laid->split.get(); plan.tail = laid->tail.get(); break;
        case Pick::Pair: plan.px = laid->pair.get(); break;
        case Pick::Cols: plan.cols = laid->cols.get(); break;
    }
    run(plan);
}

void columns_rows(const Plan& plan, const int8_t* in, int64_t lo, int64_t h, int64_t w, int64_t stride,
                  int8_t in_zp, int8_t* out, int64_t ow, int64_t oy0, int64_t oy1) {
    const VnniColumns& cols = *plan.cols;
    if (!plan.tail) {
        if (cols.pack == 4) cols.rows<4>(in, lo, h, w, stride, in_zp, out, ow, oy0, oy1);
        else if (cols.pack == 2) cols.rows<2>(in, lo, h, w, stride, in_zp, out, ow, oy0, oy1);
        else cols.rows<1>(in, lo, h, w, stride, in_zp, out, ow, oy0, oy1);
        return;
    }
    // Row by row, so the tail finishes each output row while it is in L1.
    const VnniColumns& t = *plan.tail;
    const int64_t ch0 = cols.run_steps * 64;
    for (int64_t oy = oy0; oy < oy1; ++oy) {
        int8_t* o = out + (oy - oy0) * ow * cols.pc;
        cols.rows<1>(in, lo, h, w, stride, in_zp, o, ow, oy, oy + 1);
        if (t.pack == 4) t.tail_rows<4>(in, lo, h, w, stride, in_zp, o, ow, oy, oy + 1, ch0);
        else t.tail_rows<2>(in, lo, h, w, stride, in_zp, o, ow, oy, oy + 1, ch0);
    }
}
}  // namespace

void conv2d_s8_depthwise3x3_avx512(VANTREL_DEPTHWISE3X3_S8_ARGS) {
    if (c <= 0 || h <= 0 || w <= 0 || stride < 1) return;
    const int64_t oh = conv_out_extent(h, 3, stride, 1, 1), ow = conv_out_extent(w, 3, stride, 1, 1);
    if (oh <= 0 || ow <= 0) return;
    depthwise_avx512(nullptr, w_tap_major, bias32, multiplier, shift, out_zp, c, h, w, stride,
                     [&](const Plan& plan) {
                         if (plan.px) {
                             depthwise3x3_s8<PairPixel>(in, w_tap_major, bias32, multiplier, shift, in_zp, out_zp,
                                                        out, c, h, w, stride, *plan.px);
                             return;
                         }
                         run_shares(oh, strip_team(), [&](int64_t r0, int64_t r1) {
                             columns_rows(plan, in, 0, h, w, stride, in_zp, out + r0 * ow * c, ow, r0, r1);
                         });
                     });
}

void conv2d_s8_depthwise3x3_rows_laid_out_avx512(const DepthwiseS8Layout* layout, VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS) {
    if (c <= 0 || h <= 0 || w <= 0 || stride < 1 || oy1 <= oy0) return;
    const int64_t ow = conv_out_extent(w, 3, stride, 1, 1);
    if (ow <= 0) return;
    depthwise_avx512(layout, w_tap_major, bias32, multiplier, shift, out_zp, c, h, w, stride,
                     [&](const Plan& plan) {
                         if (plan.px)
                             depthwise3x3_band_s8<PairPixel>(in, lo, w_tap_major, bias32, multiplier, shift, in_zp,
                                                             out_zp, out, c, h, w, stride, oy0, oy1, *plan.px);
                         else
                             columns_rows(plan, in, lo, h, w, stride, in_zp, out, ow, oy0, oy1);
                     });
}

void conv2d_s8_depthwise3x3_rows_avx512(VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS) {
    conv2d_s8_depthwise3x3_rows_laid_out_avx512(nullptr, in, lo, w_tap_major, bias32, multiplier, shift, in_zp, out_zp,
                                                out, c, h, w, stride, oy0, oy1);
}

DepthwiseS8Layout* depthwise3x3_layout_s8_avx512(const int8_t* w_tap_major, const int32_t* bias32,
                                                 const int32_t* multiplier, const int32_t* shift, int8_t out_zp,
                                                 int32_t c) {
    if (c <= 0) return nullptr;
    auto l = std::make_unique<DepthwiseS8Layout>();
    // Every piece an image size or stride may pick.
    for (bool big : {false, true})
        for (int64_t stride : {1, 2}) build(*l, pick(c, big, stride), w_tap_major, bias32, multiplier, shift, out_zp, c);
    return l.release();
}

void depthwise3x3_layout_free_avx512(DepthwiseS8Layout* l) { delete l; }

}  // namespace vantrel
