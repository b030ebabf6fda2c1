// Int8-weight 1-D convolution over time-major float signals {C, L, 1}:
// activations are quantised per row at run time (quantize_row_symmetric),
// the products run on the int8 GEMM engine, results are float32.
//
// Per-tap path (stride 1, one group): every padded input row is quantised
// once (scale s_r); tap k's product gives P_k[t][o] = (float)acc_k[t][o] *
// w_scale[o], folded into the output as
//   y = bias[o] + s_t * P_0            (fused; s_t * P_0 without bias)
//   y = fma(s_{t + k*dilation}, P_k, y) for k = 1 .. K-1.
// The same operations run whatever the thread count, so results are
// bit-identical with one thread or a team.
//
// Im2col path (any stride, groups): per group, column row t holds K blocks
// of C_in/g floats (input row t*stride + k*dilation - pad, zeros outside the
// signal), quantised with its own scale; gemm_s8_dynamic gives
//   y = ((float)acc * w_scale[o]) * s_t + bias[o].
#pragma once
#include <cstdint>

namespace vantrel {

// The scale quantize_row_symmetric returns for an all-zero row; padding rows
// get it with all-zero codes without being materialised.
constexpr float kConv1dZeroRowScale = 1e-8f;

// in: l rows of cin floats. taps[k]: pack_s8 of the cout x cin matrix of tap
// k. zero_bias: cout zeros. codes: (l + 2*pad)*cin bytes; row_scale:
// l + 2*pad floats; tap_out: l_out*cout floats (unused when k == 1).
// l_out must be l + 2*pad - (k-1)*dilation (at least 1).
void conv1d_s8_per_tap(const float* in, int64_t l, int32_t cin, int32_t pad,
                       const int8_t* const* taps, const float* w_scale, const int64_t* zero_bias,
                       const float* bias, float* out, int32_t l_out, int32_t cout, int32_t k,
                       int32_t dilation, int8_t* codes, float* row_scale, float* tap_out);

// group_blocks[j]: pack_s8 of the (cout/groups) x (k*cin/groups) rows of
// group j of the [o][k][c] weights. weight_sums: cout sums (passed on as
// gemm_s8_dynamic's extra argument). cols: l_out*k*(cin/groups) floats;
// codes: as many bytes; sbuf: cout/groups floats; group_out: l_out*(cout/
// groups) floats when groups > 1 (unused otherwise).
void conv1d_s8_im2col(const float* in, int64_t l, int32_t cin, const int8_t* const* group_blocks,
                      const float* w_scale, const int64_t* zero_bias, const float* bias,
                      const int32_t* weight_sums, float* out, int32_t l_out, int32_t cout,
                      int32_t k, int32_t stride, int32_t pad, int32_t dilation, int32_t groups,
                      float* cols, int8_t* codes, float* sbuf, float* group_out);

}  // namespace vantrel
