// Depthwise int8 3x3 convolution (one input channel per output channel),
// padding 1, channels-last, requantised to int8.
//
// w_tap_major: int8 [9][c], entry (tap, ch) = weight of channel ch at
//   tap = 3*ky + kx (see depthwise3x3_weights_tap_major_s8).
// bias32: low 32 bits of each channel's eff_bias, or null for none.
// Output: [oh][ow][c] with oh = (h - 1) / stride + 1, ow likewise; nothing is
//   written when an extent is <= 0 or the stride is below 1.
//
// Taps in the padding read in_zp, so the result equals the dense
// convolution with in_zp padding: acc = sum over the 9 taps of v * w, then
// requantize(acc, bias32, multiplier, shift, out_zp). Sums are exact
// integers, so every path gives the same bytes; output rows are split over
// the threads by the balanced rule.
#pragma once
#include <cstdint>
#include <memory>

namespace vantrel {

// Entry through the CPU kernel table (kernels/cpu_kernels.h).
void conv2d_s8_depthwise3x3(const int8_t* in, const int8_t* w_tap_major, const int32_t* bias32,
                            const int32_t* multiplier, const int32_t* shift, int8_t in_zp,
                            int8_t out_zp, int8_t* out, int32_t c, int32_t h, int32_t w,
                            int32_t stride);

// Output rows [oy0, oy1) of the same convolution on the calling thread, into
// out (row oy0 first), from `in` holding the image rows from lo on: every
// row those outputs read inside the image must be there. The same bytes as
// those rows of conv2d_s8_depthwise3x3.
#define VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS                                                \
    const int8_t *in, int64_t lo, const int8_t *w_tap_major, const int32_t *bias32,      \
        const int32_t *multiplier, const int32_t *shift, int8_t in_zp, int8_t out_zp,    \
        int8_t *out, int32_t c, int32_t h, int32_t w, int32_t stride, int64_t oy0, int64_t oy1
void conv2d_s8_depthwise3x3_rows(VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS);

// A layer's weights and requantisation laid out once for the active
// kernel path, for callers that run many bands of the same layer (the
// vector path otherwise lays them out again on every call, a few
// microseconds each). Null where the path needs no layout. It copies what
// it needs, so the arrays may go afterwards.
struct DepthwiseS8Layout;
struct DepthwiseS8LayoutFree {
    void operator()(DepthwiseS8Layout* l) const;
};
using DepthwiseS8LayoutPtr = std::unique_ptr<DepthwiseS8Layout, DepthwiseS8LayoutFree>;
DepthwiseS8LayoutPtr depthwise3x3_layout_s8(const int8_t* w_tap_major, const int32_t* bias32,
                                            const int32_t* multiplier, const int32_t* shift, int8_t out_zp,
                                            int32_t c);
// conv2d_s8_depthwise3x3_rows with the layout of the same weights and
// requantisation (or null): the same bytes.
void conv2d_s8_depthwise3x3_rows_laid_out(const DepthwiseS8Layout* layout, VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS);

// File-order [c][1][3][3] weights to tap-major [9][c].
void depthwise3x3_weights_tap_major_s8(const int8_t* w, int8_t* taps, int32_t c);

#define VANTREL_DEPTHWISE3X3_S8_ARGS                                                     \
    const int8_t *in, const int8_t *w_tap_major, const int32_t *bias32,                  \
        const int32_t *multiplier, const int32_t *shift, int8_t in_zp, int8_t out_zp,    \
        int8_t *out, int32_t c, int32_t h, int32_t w, int32_t stride

void conv2d_s8_depthwise3x3_portable(VANTREL_DEPTHWISE3X3_S8_ARGS);
void conv2d_s8_depthwise3x3_rows_portable(VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS);
#if defined(__x86_64__)
void conv2d_s8_depthwise3x3_avx2(VANTREL_DEPTHWISE3X3_S8_ARGS);
void conv2d_s8_depthwise3x3_avx512(VANTREL_DEPTHWISE3X3_S8_ARGS);
void conv2d_s8_depthwise3x3_rows_avx2(VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS);
void conv2d_s8_depthwise3x3_rows_avx512(VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS);
DepthwiseS8Layout* depthwise3x3_layout_s8_avx512(const int8_t* w_tap_major, const int32_t* bias32,
                                                 const int32_t* multiplier, const int32_t* shift, int8_t out_zp,
                                                 int32_t c);
void depthwise3x3_layout_free_avx512(DepthwiseS8Layout* l);
void conv2d_s8_depthwise3x3_rows_laid_out_avx512(const DepthwiseS8Layout* layout, VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS);
#endif
#if defined(__aarch64__)
void conv2d_s8_depthwise3x3_neon(VANTREL_DEPTHWISE3X3_S8_ARGS);
void conv2d_s8_depthwise3x3_rows_neon(VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS);
#endif

}  // namespace vantrel
