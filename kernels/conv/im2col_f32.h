// Geometry of a 2-D convolution window and the im2col copy that turns a
// channels-last input into the row-major A matrix of the float GEMM.
//
// Helpers are `static inline`: this header is also included by files built
// with wider instruction sets, and a shared (weak) inline copy could be taken
// from such an object by a portable caller.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

namespace vantrel {

// Output extent along one axis: floor division, so a dilated kernel larger
// than the padded input gives 0, never a negative extent. Invalid geometry
// (kernel, stride or dilation below 1, negative pad or input) also gives 0.
static inline int64_t conv_out_extent(int64_t in, int64_t k, int64_t stride, int64_t pad,
                                      int64_t dilation) {
    if (in < 0 || k < 1 || stride < 1 || pad < 0 || dilation < 1) return 0;
    int64_t span = in + 2 * pad - (k - 1) * dilation - 1;
    return span < 0 ? 0 : span / stride + 1;
}

struct Conv2dGeometry {
    int64_t h, w;            // input extent
    int64_t c_total;         // channels per input pixel
    int64_t kh, kw;
    int64_t stride_h, stride_w;
    int64_t pad_h, pad_w;
    int64_t dil_h, dil_w;
    int64_t oh, ow;          // output extent
};

static inline Conv2dGeometry conv2d_geometry(int64_t c_total, int64_t h, int64_t w, int64_t kh,
                                             int64_t kw, int64_t stride_h, int64_t stride_w,
                                             int64_t pad_h, int64_t pad_w, int64_t dil_h,
                                             int64_t dil_w) {
    return {h, w, c_total, kh, kw, stride_h, stride_w, pad_h, pad_w, dil_h, dil_w,
            conv_out_extent(h, kh, stride_h, pad_h, dil_h), conv_out_extent(w, kw, stride_w, pad_w, dil_w)};
}

// Weights [cout][cin_g][kh][kw] to rows [cout][kh*kw][cin_g], the order of
// an im2col row (taps outer, channels inner).
template <class T>
static inline void reorder_conv_weights_taps(const T* w, T* r, int64_t cout, int64_t cin_g,
                                             int64_t taps) {
    const int64_t k = taps * cin_g;
    for (int64_t o = 0; o < cout; ++o)
        for (int64_t c = 0; c < cin_g; ++c)
            for (int64_t t = 0; t < taps; ++t) r[o * k + t * cin_g + c] = w[(o * cin_g + c) * taps + t];
}

// A per-thread float buffer for calls made without scratch: it only grows
// and lives until its thread ends. Each Tag keeps its own buffer.
template <class Tag>
static inline float* conv_thread_floats(int64_t floats) {
    thread_local std::vector<float> buf;
    if (int64_t(buf.size()) < floats) buf.resize(size_t(floats));
    return buf.data();
}

// Fills the im2col rows of output pixels [p0, p1) (pixel p = oy*ow + ox) at
// a, row p - p0; layout as im2col_rows_f32 below.
static inline void im2col_pixels_f32(const float* in, const Conv2dGeometry& g, int64_t p0, int64_t p1,
                                     float* a) {
    const int64_t cn = g.c_total, k = g.kh * g.kw * cn;
    const size_t cbytes = size_t(cn) * sizeof(float);
    for (int64_t p = p0; p < p1; ++p) {
        const int64_t oy = p / g.ow, ox = p % g.ow;
        float* row = a + (p - p0) * k;
        for (int64_t ky = 0; ky < g.kh; ++ky) {
            float* seg = row + ky * g.kw * cn;
            const int64_t iy = oy * g.stride_h - g.pad_h + ky * g.dil_h;
            if (iy < 0 || iy >= g.h) {
                std::memset(seg, 0, size_t(g.kw) * cbytes);
                continue;
            }
            const int64_t ix0 = ox * g.stride_w - g.pad_w;
            if (g.dil_w == 1 && ix0 >= 0 && ix0 + g.kw <= g.w) {
                // The whole kernel row lies inside: one contiguous span.
                std::memcpy(seg, in + (iy * g.w + ix0) * cn, size_t(g.kw) * cbytes);
                continue;
            }
            for (int64_t kx = 0; kx < g.kw; ++kx) {
                const int64_t ix = ix0 + kx * g.dil_w;
                if (ix < 0 || ix >= g.w)
                    std::memset(seg + kx * cn, 0, cbytes);
                else
                    std::memcpy(seg + kx * cn, in + (iy * g.w + ix) * cn, cbytes);
            }
        }
    }
}

// Fills the im2col rows of output rows [oy0, oy1): row oy*ow + ox holds, for
// ky then kx, the `cn` channels starting at `c0` of input pixel (iy, ix), or
// zeros where that pixel lies in the padding. Rows are k = kh*kw*cn floats.
static inline void im2col_rows_f32(const float* in, const Conv2dGeometry& g, int64_t c0,
                                   int64_t cn, int64_t oy0, int64_t oy1, float* a) {
    const int64_t k = g.kh * g.kw * cn;
    const size_t cbytes = size_t(cn) * sizeof(float);
    for (int64_t oy = oy0; oy < oy1; ++oy) {
        for (int64_t ox = 0; ox < g.ow; ++ox) {
            float* row = a + (oy * g.ow + ox) * k;
            for (int64_t ky = 0; ky < g.kh; ++ky) {
                float* seg = row + ky * g.kw * cn;
                const int64_t iy = oy * g.stride_h - g.pad_h + ky * g.dil_h;
                if (iy < 0 || iy >= g.h) {
                    std::memset(seg, 0, size_t(g.kw) * cbytes);
                    continue;
                }
                for (int64_t kx = 0; kx < g.kw; ++kx) {
                    const int64_t ix = ox * g.stride_w - g.pad_w + kx * g.dil_w;
                    if (ix < 0 || ix >= g.w)
                        std::memset(seg + kx * cn, 0, cbytes);
                    else
                        std::memcpy(seg + kx * cn, in + (iy * g.w + ix) * g.c_total + c0, cbytes);
                }
            }
        }
    }
}

}  // namespace vantrel
