#include "kernels/simd/lanes_f32.h"
#include "kernels/pool/upsample_bilinear.h"
#include "kernels/pool/upsample_bilinear_loops.h"

namespace vantrel {

void k_upsample_bilinear_f32(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                             int32_t oh, int32_t ow, void* /*stream*/) {
    upsample_bilinear_loops<LanesF32>(in, out, c, h, w, oh, ow);
}

}  // namespace vantrel
