// A pixelwise (1x1, stride 1, unpadded) convolution whose input is first
// scaled per channel: the excitation step of a squeeze-and-excitation block
// folded into the projection after it. Each band of input rows is scaled
// into a buffer that stays in cache and multiplied from there, instead of
// the scaled tensor going to memory and being read back.
//
// Every scaled value is the channel-scale kernel's (one multiply) and every
// output the GEMM's sum over the same scaled row (each output summed over k
// in increasing order, whatever rows a call holds), so the result equals the
// two layers apart bit for bit on every path and thread count.
#pragma once
#include <cstdint>

#include "kernels/gemm/gemm_f32_epilogue.h"

namespace vantrel {

using ChannelScaleFnF32 = void (*)(const float* x, const float* s, float* y, int32_t rows, int32_t c, void* stream);

// in: [pixels][cin]; scale: [cin]; bp: pack_f32 of the [cout][cin] weights;
// out: [pixels][cout]. epi (or null) indexes the whole output.
void conv1x1_f32_channel_scaled(const float* in, const float* scale, ChannelScaleFnF32 mul, int64_t pixels,
                                int32_t cin, const float* bp, const float* bias, bool relu, int32_t cout,
                                const ConvEpilogueF32* epi, float* out);

}  // namespace vantrel
