// The int8 average-pooling loops, written once: each instruction-set file
// compiles them with its own vector width (channels are the vector axis).
// Integer sums and one rounding shift per output (requantize_once), so every
// path gives the same bytes. Static so each file keeps its own copy.
#pragma once
#include <cstdint>

#include "kernels/elementwise/int8_channels.h"
#include "kernels/pool/avgpool2d_s8.h"
#include "kernels/pool/pool_geometry.h"
#include "kernels/quantize.h"

namespace vantrel {

template <class SpanY, class SpanX>
static void avg_s8_loops(const int8_t* in, int8_t* out, int32_t c, int32_t w, int64_t oh, int64_t ow,
                         int32_t in_zp, int32_t out_zp, float ratio, SpanY span_y, SpanX span_x) {
    if (c < 1 || w < 0 || oh < 1 || ow < 1) return;
    const int64_t C = c, W = w;
    constexpr int64_t kBlock = 256;  // channels summed at a time, on the stack
    int32_t a[kBlock];
    for (int64_t oy = 0; oy < oh; ++oy) {
        const AvgSpan ys = span_y(oy);
        for (int64_t ox = 0; ox < ow; ++ox) {
            const AvgSpan xs = span_x(ox);
            int8_t* o = out + (oy * ow + ox) * C;
            const int64_t count = ys.count * xs.count;
            const int64_t read = (ys.end - ys.begin) * (xs.end - xs.begin);
            if (count <= 0 || read <= 0) {
                for (int64_t ch = 0; ch < C; ++ch) o[ch] = int8_t(out_zp);
                continue;
            }
            const QuantMultiplier m = quantize_multiplier(ratio / float(count));
            const int32_t sh = 31 - m.shift;
            const bool common = sh >= 1 && sh <= 62;
            const int64_t half = common ? INT64_C(1) << (sh - 1) : 0;
            for (int64_t c0 = 0; c0 < C; c0 += kBlock) {
                const int64_t n = C - c0 < kBlock ? C - c0 : kBlock;
                // Sums of at most 2^31 / 256 window positions stay in 32
                // bits; the layers' windows are far smaller.
                for (int64_t j = 0; j < n; ++j) a[j] = 0;
                for (int64_t iy = ys.begin; iy < ys.end; ++iy)
                    for (int64_t ix = xs.begin; ix < xs.end; ++ix) {
                        const int8_t* p = in + (iy * W + ix) * C + c0;
                        for (int64_t j = 0; j < n; ++j) a[j] += int32_t(p[j]) - in_zp;
                    }
                if (!common) {  // extreme scales: the general form
                    for (int64_t j = 0; j < n; ++j) o[c0 + j] = requantize_once(a[j], m.multiplier, m.shift, out_zp);
                    continue;
                }
                // requantize_once's common case, branch-free for the vectoriser.
                for (int64_t j = 0; j < n; ++j) {
                    int64_t v = ((int64_t(a[j]) * m.multiplier + half) >> sh) + out_zp;
                    v = v < -128 ? -128 : v;
                    v = v > 127 ? 127 : v;
                    o[c0 + j] = int8_t(v);
                }
            }
        }
    }
}

#define VANTREL_AVGPOOL_S8_KERNELS(suffix)                                                                 \
    void k_avgpool2d_s8##suffix(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t oh,  \
                                int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,      \
                                int32_t pad_h, int32_t pad_w, bool count_include_pad, int32_t in_zp,        \
                                int32_t out_zp, float ratio, void*) {                                      \
        avg_s8_loops(                                                                                      \
            in, out, c, w, oh, ow, in_zp, out_zp, ratio,                                                   \
            [&](int64_t oy) { return avg_window_span(oy, kh, stride_h, pad_h, h, count_include_pad); },    \
            [&](int64_t ox) { return avg_window_span(ox, kw, stride_w, pad_w, w, count_include_pad); });   \
    }                                                                                                      \
    void k_adaptive_avgpool_s8##suffix(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w,      \
                                       int32_t oh, int32_t ow, int32_t in_zp, int32_t out_zp, float ratio,  \
                                       void*) {                                                            \
        if (h < 1 || w < 1) { /* no input: every bin is empty */                                          \
            const int64_t n = int64_t(c > 0 ? c : 0) * (oh > 0 ? oh : 0) * (ow > 0 ? ow : 0);              \
            for (int64_t i = 0; i < n; ++i) out[i] = int8_t(out_zp);                                       \
            return;                                                                                        \
        }                                                                                                  \
        avg_s8_loops(in, out, c, w, oh, ow, in_zp, out_zp, ratio,                                          \
                     [&](int64_t oy) { return adaptive_span(oy, h, oh); },                                 \
                     [&](int64_t ox) { return adaptive_span(ox, w, ow); });                                \
    }

}  // namespace vantrel
