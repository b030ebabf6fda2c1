// Window loops shared by every windowed/adaptive average-pooling path; each
// path supplies the vector operations. Channels are the vector axis: for each
// output pixel the window is summed in (row, column) order for blocks of 4,
// then 1, then a partial vector of channels, and divided once, so all paths
// give the same bits.
//
// Ops: V with L lanes, zero(), set1(x), load(p), load_n(p, n), store(p, v),
// store_n(p, v, n), add(a, b), div(a, b). Static templates: each
// instruction-set file keeps its own copy.
#pragma once
#include <cstdint>

#include "kernels/pool/avgpool2d.h"
#include "kernels/pool/pool_geometry.h"

namespace vantrel {

// rows(oy) and cols(ox) give each output's AvgSpan along that axis.
template <class Ops, class Rows, class Cols>
static void avg_window_loops(const float* in, float* out, int32_t c, int32_t w, int64_t oh, int64_t ow,
                             Rows rows, Cols cols) {
    using V = typename Ops::V;
    constexpr int64_t L = Ops::L;
    if (c < 1 || w < 0) return;
    const int64_t C = c, W = w;
    for (int64_t oy = 0; oy < oh; ++oy) {
        const AvgSpan ys = rows(oy);
        for (int64_t ox = 0; ox < ow; ++ox) {
            const AvgSpan xs = cols(ox);
            float* o = out + (oy * ow + ox) * C;
            if (ys.begin >= ys.end || xs.begin >= xs.end) {
                for (int64_t ch = 0; ch < C; ++ch) o[ch] = 0.0f;
                continue;
            }
            const V d = Ops::set1(float(ys.count * xs.count));
            int64_t ch = 0;
            for (; ch + 4 * L <= C; ch += 4 * L) {
                V s0 = Ops::zero(), s1 = s0, s2 = s0, s3 = s0;
                for (int64_t iy = ys.begin; iy < ys.end; ++iy)
                    for (int64_t ix = xs.begin; ix < xs.end; ++ix) {
                        const float* p = in + (iy * W + ix) * C + ch;
                        s0 = Ops::add(s0, Ops::load(p));
                        s1 = Ops::add(s1, Ops::load(p + L));
                        s2 = Ops::add(s2, Ops::load(p + 2 * L));
                        s3 = Ops::add(s3, Ops::load(p + 3 * L));
                    }
                Ops::store(o + ch, Ops::div(s0, d));
                Ops::store(o + ch + L, Ops::div(s1, d));
                Ops::store(o + ch + 2 * L, Ops::div(s2, d));
                Ops::store(o + ch + 3 * L, Ops::div(s3, d));
            }
            for (; ch + L <= C; ch += L) {
                V s = Ops::zero();
                for (int64_t iy = ys.begin; iy < ys.end; ++iy)
                    for (int64_t ix = xs.begin; ix < xs.end; ++ix)
                        s = Ops::add(s, Ops::load(in + (iy * W + ix) * C + ch));
                Ops::store(o + ch, Ops::div(s, d));
            }
            if (ch < C) {
                const int n = int(C - ch);
                V s = Ops::zero();
                for (int64_t iy = ys.begin; iy < ys.end; ++iy)
                    for (int64_t ix = xs.begin; ix < xs.end; ++ix)
                        s = Ops::add(s, Ops::load_n(in + (iy * W + ix) * C + ch, n));
                Ops::store_n(o + ch, Ops::div(s, d), n);
            }
        }
    }
}

// Defines k_avgpool2d_f32<suffix> and k_adaptive_avgpool_f32<suffix> of
// avgpool2d.h on Ops.
#define VANTREL_AVGPOOL2D_KERNELS(suffix, Ops)                                                          \
    void k_avgpool2d_f32##suffix(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t oh, \
                                 int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,   \
                                 int32_t pad_h, int32_t pad_w, bool count_include_pad, void* /*stream*/) { \
        if (h < 0 || oh < 1 || ow < 1) return;                                                           \
        avg_window_loops<Ops>(                                                                           \
            in, out, c, w, oh, ow,                                                                       \
            [&](int64_t oy) { return avg_window_span(oy, kh, stride_h, pad_h, h, count_include_pad); },  \
            [&](int64_t ox) { return avg_window_span(ox, kw, stride_w, pad_w, w, count_include_pad); }); \
    }                                                                                                    \
    void k_adaptive_avgpool_f32##suffix(const float* in, float* out, int32_t c, int32_t h, int32_t w,      \
                                        int32_t oh, int32_t ow, void* /*stream*/) {                      \
        if (h < 0 || oh < 1 || ow < 1) return;                                                           \
        avg_window_loops<Ops>(in, out, c, w, oh, ow, [&](int64_t oy) { return adaptive_span(oy, h, oh); }, \
                              [&](int64_t ox) { return adaptive_span(ox, w, ow); });                     \
    }

}  // namespace vantrel
