// int8 2-D convolution on channels-last tensors: im2col with in_zp padding
// followed by the int8 GEMM with per-channel requantisation, a copy-free
// path for 1x1 kernels of unit stride and no padding, and for grouped
// layers a depthwise 3x3 path and a per-group path.
//
// in:  int8 [h][w_in][cin], zero point in_zp; out: int8 [oh][ow][cout],
//      fully overwritten, oh = (h + 2*pad_h - kh) / stride_h + 1 (0 when the
//      kernel does not fit the padded input; nothing is written then).
// w:   file-order weights [cout][cin/groups][kh][kw]; read when bp is null
//      and by the grouped paths.
// bp:  pack_s8 of the weights reordered to [cout][kh][kw][cin] (reduction
//      order ky, kx, c, as the im2col columns run), or null to pack a
//      temporary block for this call. Used only when groups is 1.
// eff_bias: int64 per output channel (low 32 bits used) or null; with
//      multiplier and shift it feeds requantize.
// scratch: at least oh*ow*kh*kw*(cin/groups) bytes for the im2col matrix, or
//      null to allocate it for the call.
// dense: with groups 1 this is the only mode. With groups > 1 either mode
//      runs the grouped convolution: the depthwise 3x3 kernel when
//      cin = cout = groups, kh = kw = 3, padding 1 and stride_h = stride_w
//      in {1, 2}, otherwise one GEMM per group on the group's own channels
//      and weights. cin and cout must be multiples of groups (else throws).
// row_sums and stream are not read.
//
// Every output is requantize(sum over (ky, kx, c) of a*w, eff_bias, ...):
// exact integer sums, so results do not depend on the thread count.
#pragma once
#include <cstdint>

namespace vantrel {

void k_conv2d_s8(const int8_t* in, const int8_t* w, const int8_t* bp, const int64_t* eff_bias,
                 const int32_t* multiplier, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                 int8_t* out, int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t kh,
                 int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w,
                 int32_t groups, int8_t* scratch, bool dense, const int32_t* row_sums,
                 void* stream);

// Reorders file-order weights [cout][cin_g][kh][kw] to the GEMM's
// [cout][kh][kw][cin_g].
void reorder_conv_weights_s8(const int8_t* w, int8_t* r, int32_t cout, int32_t cin_g, int32_t kh,
                             int32_t kw);

}  // namespace vantrel
