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

}  // namespace vantrel
