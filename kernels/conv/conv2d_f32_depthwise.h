// Direct depthwise float 2-D convolution (groups == cin, cout = cin * mult),
// channels-last, as in MobileNet-style networks. Output channel o reads input
// channel o / mult.
//
// w_taps: weights in tap-major order [kh][kw][cout] (see
// depthwise_weights_tap_major_f32), so that each tap's weights of
// consecutive output channels are contiguous.
// Output extent: floor division as in k_conv2d_f32 (0 when the dilated
// kernel exceeds the padded input; nothing is written then).
//
// Each output is summed from 0 over the taps inside the image in (ky, kx)
// order with one fused multiply-add per term, then + bias (when present),
// then ReLU (x > 0 ? x : +0). Padding taps are skipped, not multiplied by 0.
// The vector paths run the same operations on lanes of output channels, so
// every path is bit-identical to the portable one; output rows are split
// between threads by the balanced rule, so results do not depend on the
// thread count. Requires cout to be a multiple of cin (otherwise throws).
#pragma once
#include <cstdint>

#include "kernels/gemm/gemm_f32_epilogue.h"

namespace vantrel {

// Entry through the CPU kernel table (kernels/cpu_kernels.h).
void conv2d_f32_depthwise(const float* in, const float* w_taps, const float* bias, float* out,
                          int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t kh,
                          int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                          int32_t pad_w, int32_t dilation_h, int32_t dilation_w, bool relu,
                          void* stream);
// The same with `epi` (null: none) run on each pixel's outputs as they are
// written.
void conv2d_f32_depthwise_epi(const float* in, const float* w_taps, const float* bias, float* out,
                              int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t kh,
                              int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                              int32_t pad_w, int32_t dilation_h, int32_t dilation_w, bool relu,
                              const ConvEpilogueF32* epi);

// Output-row strips per thread of a whole-image call, and of callers that
// split rows as it does.
constexpr int64_t kDepthwiseStripsPerThread = 4;

// Output rows [oy0, oy1) of the convolution `g` (cout == g.c_total *
// multiplier) on the calling thread alone, with the same sums as the whole
// call: a caller computing an image in row bands (an input band given with
// its own geometry) gets the same bits. With cout < g.c_total the input
// pixels are g.c_total floats apart and output o reads channel o of each
// (multiplier 1 over a channel prefix of a wider tensor).
struct Conv2dGeometry;
void conv2d_f32_depthwise_rows(const float* in, const float* w_taps, const float* bias, float* out,
                               const Conv2dGeometry& g, int64_t cout, bool relu, int64_t oy0, int64_t oy1,
                               const ConvEpilogueF32* epi);

// Raw [cout][1][kh][kw] weights to tap-major [kh][kw][cout].
void depthwise_weights_tap_major_f32(const float* w, float* taps, int32_t cout, int32_t kh,
                                     int32_t kw);

#define VANTREL_DEPTHWISE_F32_ARGS                                                              \
    const float *in, const float *w_taps, const float *bias, float *out, int32_t cin, int32_t h, \
        int32_t w_in, int32_t cout, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,   \
        int32_t pad_h, int32_t pad_w, int32_t dilation_h, int32_t dilation_w, bool relu,          \
        void *stream

#define VANTREL_DEPTHWISE_ROWS_F32_ARGS                                                              \
    const float *in, const float *w_taps, const float *bias, float *out, const Conv2dGeometry &g,    \
        int64_t cout, bool relu, int64_t oy0, int64_t oy1, const ConvEpilogueF32 *epi

void conv2d_f32_depthwise_portable(VANTREL_DEPTHWISE_F32_ARGS);
void conv2d_f32_depthwise_rows_portable(VANTREL_DEPTHWISE_ROWS_F32_ARGS);
void conv2d_f32_depthwise_epi_portable(VANTREL_DEPTHWISE_F32_ARGS, const ConvEpilogueF32* epi);
#if defined(__x86_64__)
void conv2d_f32_depthwise_avx2(VANTREL_DEPTHWISE_F32_ARGS);
void conv2d_f32_depthwise_avx512(VANTREL_DEPTHWISE_F32_ARGS);
void conv2d_f32_depthwise_rows_avx2(VANTREL_DEPTHWISE_ROWS_F32_ARGS);
void conv2d_f32_depthwise_rows_avx512(VANTREL_DEPTHWISE_ROWS_F32_ARGS);
void conv2d_f32_depthwise_epi_avx2(VANTREL_DEPTHWISE_F32_ARGS, const ConvEpilogueF32* epi);
void conv2d_f32_depthwise_epi_avx512(VANTREL_DEPTHWISE_F32_ARGS, const ConvEpilogueF32* epi);
#endif
#if defined(__aarch64__)
void conv2d_f32_depthwise_neon(VANTREL_DEPTHWISE_F32_ARGS);
void conv2d_f32_depthwise_rows_neon(VANTREL_DEPTHWISE_ROWS_F32_ARGS);
void conv2d_f32_depthwise_epi_neon(VANTREL_DEPTHWISE_F32_ARGS, const ConvEpilogueF32* epi);
#endif

}  // namespace vantrel
