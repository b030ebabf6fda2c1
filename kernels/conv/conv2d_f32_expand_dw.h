// An inverted-residual block's layers around a depthwise convolution: a 1x1
// expansion before it, a 1x1 projection after it, or both, computed in
// bands of output rows so that the expanded rows a band reads and the
// depthwise rows the projection reads stay in L2 instead of going to memory
// and back (a tensor small enough for L2 anyway goes whole, one product
// after the other, in one call; on a team, an image of few rows goes in
// channel slices, each thread expanding and filtering its own channels).
//
// Every expanded or projected value is the GEMM's for its pixel (each
// output summed over k in increasing order, whatever rows a call holds) and
// every depthwise output the row kernel's over the same input values, so
// the results equal the separate layers bit for bit on every path and
// thread count.
#pragma once
#include <cstdint>

#include "kernels/gemm/gemm_f32_epilogue.h"

namespace vantrel {

struct ExpandDepthwiseF32 {
    // Expansion: cin -> cmid, packed weights of the path (pack_f32 of the
    // reordered [cmid][ekh][ekw][cin] matrix), bias (or null), ReLU, then the
    // activation of expand_epi (no residual). A 1x1 with unit stride and no
    // padding multiplies input rows in place; any other window (a network's
    // stem feeding its first depthwise layer) gathers its rows first, as
    // conv2d_f32_epi's im2col does. Without expansion (expand_bp null) the
    // input is the depthwise one and cin == cmid.
    const float* expand_bp = nullptr;
    // Floats from one input pixel to the next (0: cin). Without expansion
    // it may exceed cin: the depthwise layer then reads the first cin
    // channels of wider pixels (a channel prefix of a shared concatenation
    // buffer) in place.
    int64_t in_stride = 0;
    const float* expand_bias = nullptr;
    bool expand_relu = false;
    ConvEpilogueF32 expand_epi;
    int32_t cin = 0, cmid = 0;
    int32_t ekh = 1, ekw = 1, estride_h = 1, estride_w = 1, epad_h = 0, epad_w = 0;
    // Depthwise over cmid channels (cout = cmid * multiplier), tap-major
    // weights; dw_epi (or null) as conv2d_f32_depthwise_epi takes it.
    const float* dw_taps = nullptr;
    const float* dw_bias = nullptr;
    bool dw_relu = false;
    const ConvEpilogueF32* dw_epi = nullptr;
    int32_t cout = 0, kh = 1, kw = 1, stride_h = 1, stride_w = 1, pad_h = 0, pad_w = 0, dil_h = 1, dil_w = 1;
    // 1x1 projection: cout -> cproj (0: none, the depthwise output is the
    // result), packed weights, bias (or null), ReLU, then project_epi, whose
    // residual (if any) indexes the whole projected output.
    const float* project_bp = nullptr;
    const float* project_bias = nullptr;
    bool project_relu = false;
    ConvEpilogueF32 project_epi;
    int32_t cproj = 0;
};

// Whether the band form applies: every output row's window then meets the
// image, so each band reads at least one expanded row.
bool expand_depthwise_f32_suits(const ExpandDepthwiseF32& p);

// in: [h][w][cin] (the expansion's input, or the depthwise one; pixels
// in_stride floats apart when that is set); out: the
// depthwise output [oh][ow][cout], or the projected one [oh][ow][cproj].
void conv2d_f32_expand_depthwise(const float* in, int32_t h, int32_t w, const ExpandDepthwiseF32& p, float* out);

}  // namespace vantrel
