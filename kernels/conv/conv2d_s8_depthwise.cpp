#include "kernels/conv/conv2d_s8_depthwise.h"

#include "kernels/conv/conv2d_s8_depthwise_loops.h"
#include "kernels/kernel_path.h"

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

// Only the AVX-512 path lays weights out; a layout made while it was active
// serves only its calls.
DepthwiseS8LayoutPtr depthwise3x3_layout_s8(const int8_t* w_tap_major, const int32_t* bias32,
                                            const int32_t* multiplier, const int32_t* shift, int8_t out_zp,
                                            int32_t c) {
#if defined(__x86_64__)
    if (active_kernel_path() == KernelPath::Avx512)
        return DepthwiseS8LayoutPtr(depthwise3x3_layout_s8_avx512(w_tap_major, bias32, multiplier, shift, out_zp, c));
#endif
    (void)w_tap_major, (void)bias32, (void)multiplier, (void)shift, (void)out_zp, (void)c;
    return nullptr;
}

void DepthwiseS8LayoutFree::operator()(DepthwiseS8Layout* l) const {
#if defined(__x86_64__)
    depthwise3x3_layout_free_avx512(l);
#else
    (void)l;
#endif
}

void conv2d_s8_depthwise3x3_rows_laid_out(const DepthwiseS8Layout* layout, VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS) {
#if defined(__x86_64__)
    if (layout && active_kernel_path() == KernelPath::Avx512) {
        conv2d_s8_depthwise3x3_rows_laid_out_avx512(layout, in, lo, w_tap_major, bias32, multiplier, shift, in_zp,
                                                    out_zp, out, c, h, w, stride, oy0, oy1);
        return;
    }
#endif
    conv2d_s8_depthwise3x3_rows(in, lo, w_tap_major, bias32, multiplier, shift, in_zp, out_zp, out, c, h, w, stride,
                                oy0, oy1);
}

}  // namespace vantrel
