#include "kernels/conv/conv2d_f32_depthwise.h"

#include "kernels/conv/conv2d_f32_depthwise_loops.h"

namespace vantrel {

namespace {
struct PortablePixel {
    static void run(const float* const* taps, const int64_t* index, int n, const float* w_taps,
                    const float* bias, float* out, int64_t cout, int64_t mult, bool relu) {
        for (int64_t o = 0; o < cout; ++o)
            out[o] = depthwise_channel_f32(taps, index, n, w_taps, bias, o, o / mult, cout, relu);
    }
};
}  // namespace

void depthwise_weights_tap_major_f32(const float* w, float* taps, int32_t cout, int32_t kh,
                                     int32_t kw) {
    const int64_t nt = int64_t(kh) * kw;
    for (int64_t o = 0; o < cout; ++o)
        for (int64_t t = 0; t < nt; ++t) taps[t * cout + o] = w[o * nt + t];
}

VANTREL_DEPTHWISE_F32_ENTRY_POINTS(portable, PortablePixel)

}  // namespace vantrel
