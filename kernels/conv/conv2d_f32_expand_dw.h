// A 1x1 expansion followed by a depthwise convolution (an inverted-residual
// block's first two layers), computed in bands of output rows so that the
// expanded rows a band reads stay in L2 instead of going to memory and back
// (an expanded tensor small enough for L2 anyway goes whole, one product
// after the other).
//
// Every expanded value is the GEMM's for its pixel (each output summed over
// k in increasing order, whatever rows a call holds) and every depthwise
// output the row kernel's over the same input values, so the results equal
// the two separate layers bit for bit on every path and thread count.
#pragma once
#include <cstdint>

#include "kernels/gemm/gemm_f32_epilogue.h"

namespace vantrel {

struct ExpandDepthwiseF32 {
    // 1x1 expansion: cin -> cmid, packed weights of the path (pack_f32),
    // bias (or null), ReLU, then the activation of expand_epi (no residual).
    const float* expand_bp = nullptr;
    const float* expand_bias = nullptr;
    bool expand_relu = false;
    ConvEpilogueF32 expand_epi;
    int32_t cin = 0, cmid = 0;
    // Depthwise over cmid channels (cout = cmid * multiplier), tap-major
    // weights; dw_epi (or null) as conv2d_f32_depthwise_epi takes it.
    const float* dw_taps = nullptr;
    const float* dw_bias = nullptr;
    bool dw_relu = false;
    const ConvEpilogueF32* dw_epi = nullptr;
    int32_t cout = 0, kh = 1, kw = 1, stride_h = 1, stride_w = 1, pad_h = 0, pad_w = 0, dil_h = 1, dil_w = 1;
};

// Whether the band form applies: every output row's window then meets the
// image, so each band reads at least one expanded row.
bool expand_depthwise_f32_suits(const ExpandDepthwiseF32& p);

// in: [h][w][cin]; out: the depthwise output [oh][ow][cout].
void conv2d_f32_expand_depthwise(const float* in, int32_t h, int32_t w, const ExpandDepthwiseF32& p, float* out);

}  // namespace vantrel
