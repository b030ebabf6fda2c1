// Global average pooling over channels-last tensors: one output value per
// channel from all h*w pixels.
//
// float32: out[ch] = (sum from 0, pixels in memory order, in float32) * inv,
// inv = 1 / (float)(h*w) computed once. The vector paths keep this order per
// channel, so they are bit-identical to the portable one; a large input's
// channels are shared by a team, which leaves each channel's order alone.
//
// int8: S = sum of (in - in_zp) per channel; r = in_scale / ((float)(h*w) *
// out_scale) as a fixed-point (m, e); y = (S*m + 2^(30-e)) >> (31-e), then
// y + out_zp clamped to int8. S is kept exactly (64-bit pixel sums, 128-bit
// products) instead of in 32 bits, so a huge input cannot wrap; the result
// equals the 32-bit formula whenever that one does not wrap.
//
// An empty input (h*w == 0) has no mean: float outputs are 0, int8 outputs
// are out_zp (the code of 0), clamped to int8.
#pragma once
#include <cmath>
#include <cstdint>

#include "kernels/quantize.h"

namespace vantrel {

void k_avgpool_f32(const float* in, float* out, int32_t c, int32_t h, int32_t w, void* stream);
void k_avgpool_s8(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int32_t c,
                  int32_t h, int32_t w, void* stream, float in_scale, float out_scale);

#if defined(__x86_64__)
void k_avgpool_f32_avx2(const float* in, float* out, int32_t c, int32_t h, int32_t w, void* stream);
void k_avgpool_f32_avx512(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                          void* stream);
void k_avgpool_s8_avx2(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int32_t c,
                       int32_t h, int32_t w, void* stream, float in_scale, float out_scale);
void k_avgpool_s8_avx512(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int32_t c,
                         int32_t h, int32_t w, void* stream, float in_scale, float out_scale);
#endif
#if defined(__aarch64__)
void k_avgpool_f32_neon(const float* in, float* out, int32_t c, int32_t h, int32_t w, void* stream);
void k_avgpool_s8_neon(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int32_t c,
                       int32_t h, int32_t w, void* stream, float in_scale, float out_scale);
#endif

// The int8 requantisation of one channel's sum, shared by every path. The
// helpers are static: this header is included by files built with
// different instruction sets.
struct AvgPoolS8Requant {
    int64_t pixels = 0;
    int32_t in_zp = 0;
    int32_t out_zp = 0;
    int32_t multiplier = 0;
    int32_t shift = 0;
    // Non-zero when r is infinite: every non-zero sum saturates, with this
    // sign applied.
    int saturate = 0;
};

static inline AvgPoolS8Requant avgpool_s8_requant(int64_t pixels, int32_t in_zp, int32_t out_zp,
                                                  float in_scale, float out_scale) {
    AvgPoolS8Requant q;
    q.pixels = pixels;
    q.in_zp = in_zp;
    q.out_zp = out_zp;
    float r = in_scale / (float(pixels) * out_scale);
    // The layers refuse the scales that lead here; a direct call still gets
    // a defined result: NaN acts as 0, infinity saturates.
    if (std::isnan(r)) return q;
    if (std::isinf(r)) {
        q.saturate = r > 0 ? 1 : -1;
        return q;
    }
    QuantMultiplier qm = quantize_multiplier(r);
    q.multiplier = qm.multiplier;
    q.shift = qm.shift;
    return q;
}

static inline int8_t avgpool_s8_finish(int64_t pixel_sum, const AvgPoolS8Requant& q) {
    const __int128 big = __int128(1) << 40;  // beyond int8 after any zero point
    const __int128 s = __int128(pixel_sum) - __int128(q.pixels) * q.in_zp;
    __int128 y;
    if (q.saturate != 0) {
        y = s == 0 ? 0 : ((s > 0) == (q.saturate > 0) ? big : -big);
    } else {
        const __int128 prod = s * q.multiplier;
        const int sh = 31 - q.shift;
        if (sh <= 0) {
            // r >= 2^30: |prod| >= 2^30 unless it is 0, so it saturates.
            y = prod == 0 ? 0 : (prod > 0 ? big : -big);
        } else if (sh > 110) {
            // |prod| < 2^104: the rounded quotient is 0.
            y = 0;
        } else {
            y = (prod + (__int128(1) << (sh - 1))) >> sh;
        }
    }
    y += q.out_zp;
    return int8_t(y < -128 ? -128 : (y > 127 ? 127 : y));
}

static inline int8_t avgpool_s8_empty(int32_t out_zp) {
    return int8_t(out_zp < -128 ? -128 : (out_zp > 127 ? 127 : out_zp));
}

}  // namespace vantrel
