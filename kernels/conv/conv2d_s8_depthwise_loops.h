// Pixel loop shared by every int8 depthwise 3x3 path: geometry, the thread
// split of output rows and the 9 tap rows of each output pixel (a row of
// in_zp bytes for taps in the padding). Each path supplies
// Pixel::run(taps, w_tap_major, bias32, multiplier, shift, out_zp, out, c),
// which computes the c outputs of one pixel; it is called on `px`, so a path
// may hand in an object holding data it prepared for the call.
//
// The template is static so each instruction-set file keeps its own copy.
#pragma once
#include <cstdint>
#include <vector>

#include "kernels/conv/im2col_f32.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

// Output rows [oy0, oy1) into out (row oy0 first); `in` holds the image
// rows from lo on.
template <class Pixel>
static void depthwise3x3_rows_s8(const int8_t* in, int64_t lo, const int8_t* w_tap_major,
                                 const int32_t* bias32, const int32_t* multiplier,
                                 const int32_t* shift, const int8_t* zp_row, int8_t out_zp,
                                 int8_t* out, int64_t c, int64_t h, int64_t w, int64_t stride,
                                 int64_t ow, int64_t oy0, int64_t oy1, const Pixel& px) {
    const int8_t* taps[9];
    for (int64_t oy = oy0; oy < oy1; ++oy) {
        for (int64_t ox = 0; ox < ow; ++ox) {
            for (int64_t ky = 0; ky < 3; ++ky) {
                const int64_t iy = oy * stride - 1 + ky;
                for (int64_t kx = 0; kx < 3; ++kx) {
                    const int64_t ix = ox * stride - 1 + kx;
                    const bool inside = iy >= 0 && iy < h && ix >= 0 && ix < w;
                    taps[3 * ky + kx] = inside ? in + ((iy - lo) * w + ix) * c : zp_row;
                }
            }
            px.run(taps, w_tap_major, bias32, multiplier, shift, out_zp, out + ((oy - oy0) * ow + ox) * c, c);
        }
    }
}

template <class Pixel>
static void depthwise3x3_s8(const int8_t* in, const int8_t* w_tap_major, const int32_t* bias32,
                            const int32_t* multiplier, const int32_t* shift, int8_t in_zp,
                            int8_t out_zp, int8_t* out, int32_t c, int32_t h, int32_t w,
                            int32_t stride, const Pixel& px = Pixel{}) {
    if (c <= 0 || h <= 0 || w <= 0) return;
    const int64_t oh = conv_out_extent(h, 3, stride, 1, 1), ow = conv_out_extent(w, 3, stride, 1, 1);
    if (oh <= 0 || ow <= 0) return;
    const std::vector<int8_t> zp_row(size_t(c), in_zp);
    const int threads = strip_team();
    run_shares(oh, threads, [&](int64_t r0, int64_t r1) {
        depthwise3x3_rows_s8<Pixel>(in, 0, w_tap_major, bias32, multiplier, shift, zp_row.data(), out_zp,
                                    out + r0 * ow * c, c, h, w, stride, ow, r0, r1, px);
    });
}

// The rows entry (VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS) on the calling thread.
template <class Pixel>
static void depthwise3x3_band_s8(const int8_t* in, int64_t lo, const int8_t* w_tap_major, const int32_t* bias32,
                                 const int32_t* multiplier, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                                 int8_t* out, int32_t c, int32_t h, int32_t w, int32_t stride, int64_t oy0,
                                 int64_t oy1, const Pixel& px = Pixel{}) {
    if (c <= 0 || h <= 0 || w <= 0 || stride < 1 || oy1 <= oy0) return;
    const int64_t ow = conv_out_extent(w, 3, stride, 1, 1);
    if (ow <= 0) return;
    const std::vector<int8_t> zp_row(size_t(c), in_zp);
    depthwise3x3_rows_s8<Pixel>(in, lo, w_tap_major, bias32, multiplier, shift, zp_row.data(), out_zp, out, c, h,
                                w, stride, ow, oy0, oy1, px);
}

// One output channel: the reference every path's lanes reproduce.
static inline int8_t depthwise3x3_channel_s8(const int8_t* const* taps, const int8_t* w_tap_major,
                                             const int32_t* bias32, const int32_t* multiplier,
                                             const int32_t* shift, int8_t out_zp, int64_t ch,
                                             int64_t c) {
    int32_t acc = 0;
    for (int t = 0; t < 9; ++t) acc += int32_t(taps[t][ch]) * int32_t(w_tap_major[t * c + ch]);
    return requantize(acc, bias32 ? bias32[ch] : 0, multiplier[ch], shift[ch], out_zp);
}

}  // namespace vantrel
