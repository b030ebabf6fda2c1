// int8 im2col: turns a channels-last int8 input into the row-major A matrix
// of the int8 GEMM. Positions in the padding take the byte in_zp, not 0, so
// the zero-point terms folded into eff_bias stay exact at the borders.
//
// Row oy*ow + ox holds, for ky then kx, the `cn` channels starting at `c0` of
// input pixel (oy*stride_h - pad_h + ky, ox*stride_w - pad_w + kx); rows are
// kh*kw*cn bytes. There is no dilation (g.dil_h and g.dil_w must be 1).
//
// Helpers are `static inline` for the same reason as in im2col_f32.h.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/conv/im2col_f32.h"

namespace vantrel {

// One output row's im2col rows. KH, KW, S, P > 0 fix the kernel, stride and
// padding at compile time (the specialised shapes); 0 takes them from g.
// Kernel rows that lie inside the image horizontally are one contiguous
// copy of kw*cn bytes when cn is the whole pixel.
// C > 0 fixes the channel count too, so that each kernel row's copy has a
// compile-time size and is inlined (a 3-channel stem copies 9 or 21 bytes at
// a time, too short for a library call to pay off).
// Columns [ox0, ox1) of output row oy, their rows from `dst` on.
template <int KH, int KW, int S, int P, int C = 0>
static inline void im2col_row_s8(const int8_t* in, const Conv2dGeometry& g, int64_t c0, int64_t cn_,
                                 int64_t oy, int64_t ox0, int64_t ox1, int8_t in_zp, int8_t* dst) {
    const int64_t cn = C ? C : cn_;
    const int64_t kh = KH ? KH : g.kh, kw = KW ? KW : g.kw;
    const int64_t sh = S ? S : g.stride_h, sw = S ? S : g.stride_w;
    const int64_t ph = P ? P : g.pad_h, pw = P ? P : g.pad_w;
    const int64_t k = kh * kw * cn, seg_bytes = kw * cn;
    const bool whole_pixel = c0 == 0 && cn == g.c_total;
    for (int64_t ox = ox0; ox < ox1; ++ox) {
        int8_t* row = dst + (ox - ox0) * k;
        const int64_t ix0 = ox * sw - pw;
        const bool cols_inside = ix0 >= 0 && ix0 + kw <= g.w;
        for (int64_t ky = 0; ky < kh; ++ky) {
            int8_t* seg = row + ky * seg_bytes;
            const int64_t iy = oy * sh - ph + ky;
            if (iy < 0 || iy >= g.h) {
                std::memset(seg, in_zp, size_t(seg_bytes));
                continue;
            }
            const int8_t* in_row = in + iy * g.w * g.c_total + c0;
            if (cols_inside && whole_pixel) {
                std::memcpy(seg, in_row + ix0 * g.c_total, size_t(seg_bytes));
                continue;
            }
            for (int64_t kx = 0; kx < kw; ++kx) {
                const int64_t ix = ix0 + kx;
                if (ix < 0 || ix >= g.w)
                    std::memset(seg + kx * cn, in_zp, size_t(cn));
                else
                    std::memcpy(seg + kx * cn, in_row + ix * g.c_total, size_t(cn));
            }
        }
    }
}

// Columns [ox0, ox1) of output row oy for channels [c0, c0 + cn), their
// rows from `dst` on, through the specialised shapes.
static inline void im2col_span_s8(const int8_t* in, const Conv2dGeometry& g, int64_t c0, int64_t cn,
                                  int64_t oy, int64_t ox0, int64_t ox1, int8_t in_zp, int8_t* dst) {
    const bool s1p1_3x3 = g.kh == 3 && g.kw == 3 && g.stride_h == 1 && g.stride_w == 1 &&
                          g.pad_h == 1 && g.pad_w == 1;
    const bool s2p3_7x7 = g.kh == 7 && g.kw == 7 && g.stride_h == 2 && g.stride_w == 2 &&
                          g.pad_h == 3 && g.pad_w == 3;
    const bool s2p1_3x3 = g.kh == 3 && g.kw == 3 && g.stride_h == 2 && g.stride_w == 2 &&
                          g.pad_h == 1 && g.pad_w == 1;
    const bool rgb = cn == 3 && g.c_total == 3;  // an image stem
    if (s1p1_3x3)
        im2col_row_s8<3, 3, 1, 1>(in, g, c0, cn, oy, ox0, ox1, in_zp, dst);
    else if (s2p3_7x7 && rgb)
        im2col_row_s8<7, 7, 2, 3, 3>(in, g, c0, cn, oy, ox0, ox1, in_zp, dst);
    else if (s2p1_3x3 && rgb)
        im2col_row_s8<3, 3, 2, 1, 3>(in, g, c0, cn, oy, ox0, ox1, in_zp, dst);
    else if (s2p3_7x7)
        im2col_row_s8<7, 7, 2, 3>(in, g, c0, cn, oy, ox0, ox1, in_zp, dst);
    else
        im2col_row_s8<0, 0, 0, 0>(in, g, c0, cn, oy, ox0, ox1, in_zp, dst);
}

// im2col rows of output rows [oy0, oy1) for channels [c0, c0 + cn); a holds
// the rows of output rows from a_row0 on.
static inline void im2col_rows_s8(const int8_t* in, const Conv2dGeometry& g, int64_t c0, int64_t cn,
                                  int64_t oy0, int64_t oy1, int8_t in_zp, int8_t* a, int64_t a_row0 = 0) {
    const int64_t k = g.kh * g.kw * cn;
    for (int64_t oy = oy0; oy < oy1; ++oy)
        im2col_span_s8(in, g, c0, cn, oy, 0, g.ow, in_zp, a + (oy - a_row0) * g.ow * k);
}

// im2col rows of output pixels [p0, p1) (row-major, all channels); a holds
// them from pixel p0 on.
static inline void im2col_pixels_s8(const int8_t* in, const Conv2dGeometry& g, int64_t p0, int64_t p1,
                                    int8_t in_zp, int8_t* a) {
    const int64_t k = g.kh * g.kw * g.c_total;
    for (int64_t p = p0; p < p1;) {
        const int64_t oy = p / g.ow, ox0 = p % g.ow;
        const int64_t ox1 = std::min(g.ow, ox0 + (p1 - p));
        im2col_span_s8(in, g, 0, g.c_total, oy, ox0, ox1, in_zp, a + (p - p0) * k);
        p += ox1 - ox0;
    }
}

}  // namespace vantrel
