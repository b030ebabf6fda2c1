// An int8 inverted-residual block's layers around a 3x3 depthwise
// convolution (padding 1): a 1x1 expansion before it, a 1x1 projection
// after it, or both, computed in bands of output rows so that the expanded
// rows a band reads and the depthwise rows the projection reads stay in L2
// instead of going to memory and back, in one parallel pass (on one thread
// a tensor small enough for L2 anyway goes whole, one layer after the
// other).
//
// Every expanded or projected byte is the int8 GEMM's for its pixel and
// every depthwise byte the depthwise kernel's over the same input bytes, so
// the results equal the separate layers' on every path and thread count.
#pragma once
#include <cstdint>

#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/gemm/gemm_s8_split.h"

namespace vantrel {

struct ExpandDepthwiseS8 {
    // Expansion cin -> c (expand_bp null: none, the input is the depthwise
    // one and cin == c): pack_s8 weights in the im2col column order (ky, kx,
    // channel), eff_bias, requantisation. A 1x1 with unit stride and no
    // padding multiplies input rows in place; any other window (a network's
    // stem) gathers its rows first as the convolution's im2col does, its
    // padding reading expand_in_zp.
    const int8_t* expand_bp = nullptr;
    const int64_t* expand_bias = nullptr;
    const int32_t *expand_mult = nullptr, *expand_shift = nullptr;
    int8_t expand_in_zp = 0, expand_out_zp = 0;
    int32_t cin = 0;
    int32_t ekh = 1, ekw = 1, estride_h = 1, estride_w = 1, epad_h = 0, epad_w = 0;
    // Depthwise over c channels: tap-major weights, 32-bit biases, and
    // perhaps their layout for the kernel path (made once by the layer).
    const DepthwiseS8Layout* dw_layout = nullptr;
    const int8_t* dw_taps = nullptr;
    const int32_t* dw_bias = nullptr;
    const int32_t *dw_mult = nullptr, *dw_shift = nullptr;
    int8_t dw_in_zp = 0, dw_out_zp = 0;
    int32_t c = 0, stride = 1;
    // Projection c -> cproj (0: none, the depthwise output is the result),
    // with an int8 add folded into its outputs when residual is set (its
    // res indexes the whole projected output).
    const int8_t* project_bp = nullptr;
    const int64_t* project_bias = nullptr;
    const int32_t *project_mult = nullptr, *project_shift = nullptr;
    int8_t project_out_zp = 0;
    int32_t cproj = 0;
    const S8ResidualAdd* residual = nullptr;
};

// in: [h][w][cin]; out: the depthwise output [oh][ow][c], or the projected
// one [oh][ow][cproj].
void conv2d_s8_expand_depthwise(const int8_t* in, int32_t h, int32_t w, const ExpandDepthwiseS8& p, int8_t* out);

}  // namespace vantrel
