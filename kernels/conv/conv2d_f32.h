// General float 2-D convolution on channels-last tensors: im2col followed by
// the packed float GEMM, with a copy-free path for 1x1 kernels of unit
// stride, no padding and no dilation (the input is then the A matrix), and
// one for undilated windows over at most 4 channels on paths with
// gemm_f32_rows (the GEMM reads the windows from a zero-padded copy).
//
// in:  [h][w_in][cin]; out: [oh][ow][cout], fully overwritten, with
// oh = floor((h + 2*pad_h - (kh-1)*dilation_h - 1) / stride_h) + 1 when that
// numerator is >= 0 and 0 otherwise (nothing is written then); ow likewise.
// w:   raw weights [cout][cin][kh][kw]; used only when bp is null.
// bp:  pack_f32 of the weights reordered to [cout][kh][kw][cin] (reduction
//      order ky, kx, c), or null to pack a temporary block for this call.
// scratch: oh*ow*kh*kw*cin floats for the im2col matrix, or null to use a
//      per-thread buffer that only grows.
//
// Every output is the GEMM's: summed from 0 over (ky, kx, c) in that order
// with one fused multiply-add per term, then + bias, then ReLU. Results do
// not depend on the thread count.
#pragma once
#include <cstdint>

#include "kernels/gemm/gemm_f32_epilogue.h"

namespace vantrel {

void k_conv2d_f32(const float* in, const float* w, const float* bias, float* out, int32_t cin,
                  int32_t h, int32_t w_in, int32_t cout, int32_t kh, int32_t kw, int32_t stride_h,
                  int32_t stride_w, int32_t pad_h, int32_t pad_w, bool relu, const float* bp,
                  float* scratch, int32_t dilation_h, int32_t dilation_w, void* stream);

// k_conv2d_f32 followed, on each GEMM tile while it is in cache, by `epi`
// (null: none); equal bit for bit to k_conv2d_f32 then the separate ops.
void conv2d_f32_epi(const float* in, const float* w, const float* bias, float* out, int32_t cin,
                    int32_t h, int32_t w_in, int32_t cout, int32_t kh, int32_t kw, int32_t stride_h,
                    int32_t stride_w, int32_t pad_h, int32_t pad_w, bool relu, const float* bp,
                    float* scratch, int32_t dilation_h, int32_t dilation_w, const ConvEpilogueF32* epi);

// Reorders raw weights [cout][cin_g][kh][kw] to the GEMM's [cout][kh][kw][cin_g].
void reorder_conv_weights_f32(const float* w, float* r, int32_t cout, int32_t cin_g, int32_t kh,
                              int32_t kw);

}  // namespace vantrel
