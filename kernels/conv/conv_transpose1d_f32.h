// Float transposed 1-D convolution over time-major signals {C, L, 1}:
//   out[p][o] = bias[o] + sum over (t, k) with p = t*stride + k - pad of
//               sum_c x[t][c] * W[c][o][k]
// (within each group: input channels j*cin/g .. and output channels
// j*cout/g .. of group j).
//
// Both kernels give each output the same rounding: every (t, k) term is a
// sum over c from 0 in increasing c with fused multiply-adds (the float
// GEMM's order), terms are added to 0 in increasing k, then the bias is
// added. So the grouped kernel with one group equals the per-tap kernel bit
// for bit, and neither depends on the thread count.
#pragma once
#include <cstdint>

namespace vantrel {

// Output length: (l-1)*stride - 2*pad + k + output_padding, 0 when l < 1 or
// when that is negative.
int64_t conv_transpose1d_out_length(int64_t l, int64_t k, int64_t stride, int64_t pad,
                                    int64_t output_padding);

// One group: taps[k] is pack_f32 of the cout x cin matrix M_k[o][c] =
// W[c][o][k]; one GEMM per tap into y_tap (l*cout floats), scattered into
// the zeroed output.
void conv_transpose1d_f32_taps(const float* in, const float* const* taps, const float* bias,
                               float* out, int32_t cin, int32_t l, int32_t cout, int32_t k,
                               int32_t stride, int32_t pad, int64_t l_out, float* y_tap);

// Any group count: each output row gathers its terms directly. wg holds the
// weights rearranged as [j][k][o][c] (group, tap, output channel of the
// group, input channel of the group); see conv_transpose1d_group_weights.
void conv_transpose1d_f32_grouped(const float* in, const float* wg, const float* bias, float* out,
                                  int32_t cin, int32_t l, int32_t cout, int32_t k, int32_t stride,
                                  int32_t pad, int32_t groups, int64_t l_out);

// W[c][o][k] (cin x cout/groups x k) -> wg[j][k][o][c].
void conv_transpose1d_group_weights(const float* w, float* wg, int32_t cin, int32_t cout,
                                    int32_t k, int32_t groups);

}  // namespace vantrel
