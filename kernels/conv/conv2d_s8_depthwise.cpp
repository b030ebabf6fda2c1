#include "kernels/conv/conv2d_s8_depthwise.h"

#include "kernels/conv/conv2d_s8_depthwise_loops.h"

namespace vantrel {

namespace {
struct PortablePixel {
    static void run(const int8_t* const* taps, const int8_t* w_tap_major, const int32_t* bias32,
                    const int32_t* multiplier, const int32_t* shift, int8_t out_zp, int8_t* out,
                    int64_t c) {
        for (int64_t ch = 0; ch < c; ++ch)
            out[ch] = depthwise3x3_channel_s8(taps, w_tap_major, bias32, multiplier, shift, out_zp, ch, c);
    }
};
}  // namespace

void depthwise3x3_weights_tap_major_s8(const int8_t* w, int8_t* taps, int32_t c) {
    for (int64_t ch = 0; ch < c; ++ch)
        for (int64_t t = 0; t < 9; ++t) taps[t * c + ch] = w[ch * 9 + t];
}

void conv2d_s8_depthwise3x3_portable(VANTREL_DEPTHWISE3X3_S8_ARGS) {
    depthwise3x3_s8<PortablePixel>(in, w_tap_major, bias32, multiplier, shift, in_zp, out_zp, out,
                                   c, h, w, stride);
}

void conv2d_s8_depthwise3x3_rows_portable(VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS) {
    depthwise3x3_band_s8<PortablePixel>(in, lo, w_tap_major, bias32, multiplier, shift, in_zp, out_zp, out, c, h, w, stride,
                              oy0, oy1);
}

}  // namespace vantrel
