#include "kernels/conv/conv2d_f32_wino.h"
#include "kernels/conv/conv2d_f32_wino_loops.h"

namespace vantrel {

void conv2d_f32_wino_phases_avx2(int32_t m, const float* in, const float* const* u, const float* bias,
                                 float* out, int64_t cin, int64_t h, int64_t w, int64_t cout, int64_t pad_h,
                                 int64_t pad_w, bool relu, float* v, const ConvEpilogueF32* epi) {
    conv2d_f32_wino_phases<8>(m, in, u, bias, out, cin, h, w, cout, pad_h, pad_w, relu, v, epi);
}

}  // namespace vantrel
