// Grouped float 2-D convolution (1 < groups, channels split evenly),
// channels-last. Group g reduces over input channels [g*cin/groups,
// (g+1)*cin/groups) only and produces output channels [g*cout/groups,
// (g+1)*cout/groups).
//
// bp[g]: pack_f32 of group g's weights reordered to [cout/groups][kh][kw][cin/groups]
// (rows g*cout/groups.. of the raw [cout][cin/groups][kh][kw] array).
// scratch: grouped_conv_f32_scratch_floats(...) floats, or null to use a
// per-thread buffer that only grows. It holds the group's im2col matrix and
// the group's GEMM result, which is then scattered into the output rows
// (the GEMM writes rows of stride cout/groups).
//
// Per group: im2col of its channels, GEMM with + bias and ReLU, scatter.
// Each output is summed from 0 over (ky, kx, c) of its group in that order,
// one fused multiply-add per term, then + bias, then ReLU, exactly as
// k_conv2d_f32 does for one group. With two or more threads the im2col and
// scatter are split by output rows (balanced rule) and the GEMM is shared by
// the team; results do not depend on the thread count.
#pragma once
#include <cstdint>

namespace vantrel {

void conv2d_f32_grouped(const float* in, const float* const* bp, const float* bias, float* out,
                        int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t groups,
                        int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                        int32_t pad_w, int32_t dilation_h, int32_t dilation_w, bool relu,
                        float* scratch, void* stream);

// oh*ow*(kh*kw*cin/groups + cout/groups); 0 for empty or invalid geometry.
int64_t grouped_conv_f32_scratch_floats(int32_t cin, int32_t h, int32_t w_in, int32_t cout,
                                        int32_t groups, int32_t kh, int32_t kw, int32_t stride_h,
                                        int32_t stride_w, int32_t pad_h, int32_t pad_w,
                                        int32_t dilation_h, int32_t dilation_w);

// Direct grouped convolution for groups of few channels (ResNeXt, RegNet),
// where the per-group GEMM would use a fraction of its vector lanes.
//
// w_taps: weights in blocks of 16 output channels (the last one narrower),
// each block tap-major [kh][kw][cin/groups][16] (see
// grouped_weights_tap_major_f32): the weights of one tap and one input
// channel of the group are contiguous over the block's output channels, so a
// vector of output channels spanning several groups loads them at once, and
// a block's weights are one contiguous stream (a stride of cout floats would
// map them all to a few cache sets).
//
// Each output o of group g is summed from 0 over all kh * kw taps in
// (ky, kx) order and, per tap, over the group's input channels in order,
// one fused multiply-add per term, then + bias (when present), then ReLU
// (x > 0 ? x : +0). Taps outside the image read zeros (as a zero-padded
// input would; such a term leaves the sum unchanged unless the weight is
// infinite or NaN). The vector paths hold output channels of neighbouring
// groups in one vector and replicate each input channel within its group's
// lanes, following the same order, so every path is bit-identical to the
// portable one. Output rows are split between the
// team's threads by the balanced rule, or on images of up to 14x14 output
// pixels output channels in 16- or 32-channel steps when that splits at
// least as evenly; results do not depend on the thread count. Throws when groups does not divide cin and cout.
void conv2d_f32_grouped_direct(const float* in, const float* w_taps, const float* bias, float* out,
                               int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t groups,
                               int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                               int32_t pad_h, int32_t pad_w, int32_t dilation_h, int32_t dilation_w,
                               bool relu);

// Whether the direct kernel is the one to use: up to 32 channels per group
// in and out, with at least 8 output channels per group (a vector holds one
// or two groups) or equal in and out widths of 2 or 4 (a vector holds whole
// groups).
bool grouped_direct_f32_suits(int32_t cin, int32_t cout, int32_t groups);

// Raw [cout][cin/groups][kh][kw] weights to blocks of 16 output channels,
// each [kh][kw][cin/groups][16] (the last [...][cout % 16] when cout is not a
// multiple of 16): channel o of block b = o / 16 at b * 16 * kh * kw *
// cin/groups + ((ky * kw + kx) * cin/groups + ci) * width + o % 16.
void grouped_weights_tap_major_f32(const float* w, float* taps, int32_t cin, int32_t cout,
                                   int32_t groups, int32_t kh, int32_t kw);

#define VANTREL_GROUPED_F32_ARGS                                                                 \
    const float *in, const float *w_taps, const float *bias, float *out, int32_t cin, int32_t h, \
        int32_t w_in, int32_t cout, int32_t groups, int32_t kh, int32_t kw, int32_t stride_h,   \
        int32_t stride_w, int32_t pad_h, int32_t pad_w, int32_t dilation_h, int32_t dilation_w, \
        bool relu

void conv2d_f32_grouped_direct_portable(VANTREL_GROUPED_F32_ARGS);
#if defined(__x86_64__)
void conv2d_f32_grouped_direct_avx2(VANTREL_GROUPED_F32_ARGS);
void conv2d_f32_grouped_direct_avx512(VANTREL_GROUPED_F32_ARGS);
#endif
#if defined(__aarch64__)
void conv2d_f32_grouped_direct_neon(VANTREL_GROUPED_F32_ARGS);
#endif

}  // namespace vantrel
