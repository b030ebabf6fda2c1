// Winograd F(2x2, 3x3) int8 convolution: 3x3 kernel, stride 1, padding 1
// with in_zp, channels-last; the output is int8 h x w_in x cout.
//
// u[t] (t = 4i + j): pack_s8 of the [cout][cin] int8 matrix of element
//   (i, j) of G g G^T, quantised with scale u_scale[t].
// input_transform_scale: the scale of the narrowed input transform (0.25:
//   V = B^T d B in 16 bits, then (V + 2) >> 2 saturated to int8).
// wino_bias: int64 per output channel (low 32 bits used) or null; it carries
//   eff_bias and the correction of the zero point's Winograd term.
// scratch0: 16*T*cin bytes and scratch1: 16*T*cout int32 with
//   T = ceil(h/2)*ceil(w_in/2), or null to allocate them for the call.
// req_scale, wino_correction and stream are not read.
//
// Per position t the raw int32 products V_t U_t^T are rescaled to a common
// scale with the fixed-point multiplier of (1 / input_transform_scale) *
// u_scale[t]; then Y = A^T r A + wino_bias (its low 32 bits, signed) in
// 64-bit integers, saturated to 32 bits, and each output is
// requantize(Y, 0, multiplier, shift, out_zp). Where that sum fits 32 bits
// this equals the wrapping 32-bit pipeline; beyond (a huge foreign u_scale,
// rescaled products past 32 bits) it saturates with its sign instead of
// wrapping. A rescaled product saturates at +-2^58, which no scale derived
// from int8 weights reaches. Every step is exact integer arithmetic, so
// results do not depend on the thread count or on how the work is cut: tiles
// go through the three phases in chunks whose transforms and products stay
// in L2, and when there are fewer tiles than output channels the threads
// share the transform, then each takes a slice of the channels (so each
// reads only its part of the 16 weight matrices).
#pragma once
#include <cstdint>

namespace vantrel {

void k_conv2d_s8_wino(const int8_t* in, const int8_t* const u[16], const float u_scale[16],
                      const int64_t* wino_bias, const int32_t* multiplier, const int32_t* shift,
                      const float* req_scale, int8_t in_zp, float input_transform_scale,
                      int8_t out_zp, int8_t* out, int32_t cin, int32_t h, int32_t w_in,
                      int32_t cout, int8_t* scratch0, int32_t* scratch1,
                      const int32_t* const wino_correction[16], void* stream);

// The output stage of tiles [n0, n1), the per-path part of the kernel:
// tile n's products at position t are the cout int32 at
// pm + t * pos_stride + (n - n0) * cout, rescaled by pos_multiplier/pos_shift[t] as described above. cout
// channels are written from out, whose pixels lie out_ld channels apart (a
// slice of the channels has out_ld above cout).
struct WinoS8Output {
    const int32_t* pm;
    int64_t pos_stride;
    const int64_t* wino_bias;
    const int32_t* multiplier;
    const int32_t* shift;
    int32_t pos_multiplier[16];
    int32_t pos_shift[16];
    int8_t out_zp;
    int64_t cout, h, w, tw;  // tw: tiles per row
    int8_t* out;
    int64_t out_ld;
    // The largest |product| the products can hold (cin * 128 * 128), or 0
    // when not known: a path may then take A^T r A in 32-bit lanes where
    // no sum can leave int32.
    int64_t product_bound;
};

// Output pixels (k / 2, k % 2) of tile n; null where outside the image.
inline void wino_s8_tile_outputs(const WinoS8Output& o, int64_t n, int8_t* (&y)[4]) {
    const int64_t oy = 2 * (n / o.tw), ox = 2 * (n % o.tw), c = o.out_ld;
    const bool row1 = oy + 1 < o.h, col1 = ox + 1 < o.w;
    y[0] = o.out + (oy * o.w + ox) * c;
    y[1] = col1 ? y[0] + c : nullptr;
    y[2] = row1 ? y[0] + o.w * c : nullptr;
    y[3] = row1 && col1 ? y[2] + c : nullptr;
}

#define VANTREL_WINO_S8_OUTPUT_ARGS const WinoS8Output &o, int64_t n0, int64_t n1

// The input transform of tiles [n0, n1) of the h x w x c image (tw tiles
// per row) into v: V_t of tile n at v + t * vt + (n - n0) * c. Patch pixels
// outside the image read zp_row (c bytes of in_zp).
#define VANTREL_WINO_S8_INPUT_ARGS                                                      \
    const int8_t *in, const int8_t *zp_row, int64_t h, int64_t w, int64_t c, int64_t tw, \
        int64_t vt, int64_t n0, int64_t n1, int8_t *v

// Entries through the CPU kernel table (kernels/cpu_kernels.h).
void conv2d_s8_wino_output(VANTREL_WINO_S8_OUTPUT_ARGS);
void conv2d_s8_wino_output_portable(VANTREL_WINO_S8_OUTPUT_ARGS);
void conv2d_s8_wino_input(VANTREL_WINO_S8_INPUT_ARGS);
void conv2d_s8_wino_input_portable(VANTREL_WINO_S8_INPUT_ARGS);
#if defined(__x86_64__)
void conv2d_s8_wino_output_avx2(VANTREL_WINO_S8_OUTPUT_ARGS);
void conv2d_s8_wino_input_avx2(VANTREL_WINO_S8_INPUT_ARGS);
void conv2d_s8_wino_output_avx512(VANTREL_WINO_S8_OUTPUT_ARGS);
void conv2d_s8_wino_input_avx512(VANTREL_WINO_S8_INPUT_ARGS);
#endif

}  // namespace vantrel
