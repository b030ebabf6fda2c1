#include "kernels/pool/avgpool2d_s8.h"

#include <cstddef>
#include <vector>

#include "kernels/elementwise/int8_channels.h"
#include "kernels/pool/pool_geometry.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {
template <class SpanY, class SpanX>
void avg_s8_loops(const int8_t* in, int8_t* out, int32_t c, int32_t w, int64_t oh, int64_t ow, int32_t in_zp,
                  int32_t out_zp, float ratio, SpanY span_y, SpanX span_x) {
    if (c < 1 || w < 0 || oh < 1 || ow < 1) return;
    const int64_t C = c, W = w;
    std::vector<int32_t> acc(static_cast<size_t>(c));
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
            // Sums of at most 2^31 / 256 window positions stay in 32 bits;
            // the layers' windows are far smaller.
            for (int64_t ch = 0; ch < C; ++ch) acc[size_t(ch)] = 0;
            for (int64_t iy = ys.begin; iy < ys.end; ++iy)
                for (int64_t ix = xs.begin; ix < xs.end; ++ix) {
                    const int8_t* p = in + (iy * W + ix) * C;
                    for (int64_t ch = 0; ch < C; ++ch) acc[size_t(ch)] += int32_t(p[ch]) - in_zp;
                }
            const QuantMultiplier m = quantize_multiplier(ratio / float(count));
            for (int64_t ch = 0; ch < C; ++ch)
                o[ch] = requantize_once(acc[size_t(ch)], m.multiplier, m.shift, out_zp);
        }
    }
}
}  // namespace

void k_avgpool2d_s8(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t oh, int32_t ow,
                    int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w,
                    bool count_include_pad, int32_t in_zp, int32_t out_zp, float ratio, void*) {
    avg_s8_loops(
        in, out, c, w, oh, ow, in_zp, out_zp, ratio,
        [&](int64_t oy) { return avg_window_span(oy, kh, stride_h, pad_h, h, count_include_pad); },
        [&](int64_t ox) { return avg_window_span(ox, kw, stride_w, pad_w, w, count_include_pad); });
}

void k_adaptive_avgpool_s8(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                           int32_t ow, int32_t in_zp, int32_t out_zp, float ratio, void*) {
    if (h < 1 || w < 1) {
        // No input: every bin is empty.
        for (int64_t i = 0; i < int64_t(c > 0 ? c : 0) * (oh > 0 ? oh : 0) * (ow > 0 ? ow : 0); ++i)
            out[i] = int8_t(out_zp);
        return;
    }
    avg_s8_loops(in, out, c, w, oh, ow, in_zp, out_zp, ratio,
                 [&](int64_t oy) { return adaptive_span(oy, h, oh); },
                 [&](int64_t ox) { return adaptive_span(ox, w, ow); });
}

}  // namespace vantrel
