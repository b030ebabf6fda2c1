// Winograd F(2x2, 3x3) and F(4x4, 3x3) float convolution: 3x3 kernel,
// stride 1, channels-last. k_conv2d_f32_wino pads by 1 (the output is
// h x w_in x cout); the _epi variants take the zero padding of each side,
// pad_h and pad_w (0 or more; the output is (h + 2 pad_h - 2) x
// (w_in + 2 pad_w - 2) x cout): the tiles cover the output only, so an
// unpadded layer pays for no border.
//
// u[t] (t = 4i + j): pack_f32 of the [cout][cin] matrix of element (i, j) of
// G g G^T over every (output, input) channel pair, G = [[1,0,0], [1/2,1/2,1/2],
// [1/2,-1/2,1/2], [0,0,1]] (see winograd_weight_transform_f32).
// scratch: 16*T*(cin + cout) floats with T = ceil(oh/2)*ceil(ow/2) over the
// oh x ow output -- the 16
// transformed input matrices [T][cin] then the 16 products [T][cout] -- or
// null to use a per-thread buffer that only grows.
// w_raw is not read by this CPU kernel.
//
// Phases: input transform by tile, 16 GEMMs (one per Winograd position),
// output transform by tile with + bias then ReLU. With two or more threads
// each phase is split by the balanced rule (tiles, then the 16 matrices,
// then tiles) and separated by barriers; the result does not depend on the
// thread count.
#pragma once
#include <cstdint>

#include "kernels/gemm/gemm_f32_epilogue.h"

namespace vantrel {

void k_conv2d_f32_wino(const float* in, const float* const u[16], const float* bias, float* out,
                       int32_t cin, int32_t h, int32_t w_in, int32_t cout, bool relu,
                       float* scratch, void* stream, const float* w_raw);

// k_conv2d_f32_wino with padding pad_h, pad_w and `epi` (null: none) run
// on each tile's output pixels right after its output transform.
void conv2d_f32_wino_epi(const float* in, const float* const u[16], const float* bias, float* out,
                         int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t pad_h, int32_t pad_w,
                         bool relu, float* scratch, const ConvEpilogueF32* epi);

// G g G^T of one 3x3 kernel g (row-major); u receives the 4x4 result
// row-major, element (i, j) at 4i + j.
void winograd_weight_transform_f32(const float* g, float* u);

// F(4x4, 3x3): 6x6 input tiles (stride 4) with the points 0, 1, -1, 2, -2
// and infinity; 36 products instead of 16 for four times the outputs.
// u[t] (t = 6i + j): pack_f32 of the [cout][cin] matrix of element (i, j)
// of G g G^T (winograd4_weight_transform_f32). scratch: 36*T*(cin + cout)
// floats with T = ceil(oh/4)*ceil(ow/4), or null. Padding, phases,
// threading and `epi` as conv2d_f32_wino_epi; the transforms are one fixed
// sequence of float operations, so only the GEMM differs between kernel
// paths.
void conv2d_f32_wino4_epi(const float* in, const float* const u[36], const float* bias, float* out,
                          int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t pad_h, int32_t pad_w,
                          bool relu, float* scratch, const ConvEpilogueF32* epi);

// G g G^T of one 3x3 kernel for F(4x4, 3x3), computed in double and rounded
// once; u receives the 6x6 result row-major, element (i, j) at 6i + j.
void winograd4_weight_transform_f32(const float* g, float* u);

// Stride 2: the kernel's taps split by parity into 2x2, 2x1, 1x2 and 1x1
// stride-1 kernels over the input's row and column phases, each two-tap
// direction run as F(2, 2); a 2x2 output tile costs 25 products per
// channel pair instead of 36 (conv2d_f32_wino_loops.h). u[k], k = 0..15:
// pack_f32 of the [cout][cin] matrix of element k of
// winograd_s2_weight_transform_f32. Output ((h + 2 pad_h - 3)/2 + 1) x
// ((w_in + 2 pad_w - 3)/2 + 1) x cout; scratch: 25*T*(cin + cout) floats
// with T = ceil(oh/2)*ceil(ow/2), or null. Phases, threading and `epi` as
// conv2d_f32_wino_epi.
void conv2d_f32_wino_s2_epi(const float* in, const float* const u[16], const float* bias, float* out,
                            int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t pad_h, int32_t pad_w,
                            bool relu, float* scratch, const ConvEpilogueF32* epi);

// The 16 transformed values of one 3x3 kernel g (row-major) for the
// stride-2 form: with G = [[1, 0], [1, 1], [0, 1]], u[0..8] = G g' G^T of the
// even taps g' = [[g00, g02], [g20, g22]] (row-major 3x3), u[9..11] =
// G [g01, g21], u[12..14] = G [g10, g12], u[15] = g11.
void winograd_s2_weight_transform_f32(const float* g, float* u);

// The m of the stride-2 form where the phase functions take m.
constexpr int32_t kWinoStride2 = -2;

// Scratch floats of the F(m x m, 3x3) kernel, m = 2 or 4, for an oh x ow
// output: (m + 2)^2 * ceil(oh/m) * ceil(ow/m) * (cin + cout); for
// m = kWinoStride2, 25 * ceil(oh/2) * ceil(ow/2) * (cin + cout).
int64_t conv2d_f32_wino_scratch_floats(int32_t m, int64_t cin, int64_t oh, int64_t ow, int64_t cout);

// The transforms built for wider vectors (conv2d_f32_wino_loops.h), chosen
// by the active kernel path; m is 2, 4 or kWinoStride2, v the scratch. Same
// bits as the portable build.
void conv2d_f32_wino_phases_avx2(int32_t m, const float* in, const float* const* u, const float* bias,
                                 float* out, int64_t cin, int64_t h, int64_t w, int64_t cout, int64_t pad_h,
                                 int64_t pad_w, bool relu, float* v, const ConvEpilogueF32* epi);
void conv2d_f32_wino_phases_avx512(int32_t m, const float* in, const float* const* u, const float* bias,
                                   float* out, int64_t cin, int64_t h, int64_t w, int64_t cout, int64_t pad_h,
                                   int64_t pad_w, bool relu, float* v, const ConvEpilogueF32* epi);

}  // namespace vantrel
