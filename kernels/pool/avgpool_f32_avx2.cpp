#include "kernels/simd/lanes_f32_avx2.h"
#include "kernels/pool/avgpool.h"
#include "kernels/pool/avgpool_loops.h"

namespace vantrel {

void k_avgpool_f32_avx2(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                        void* /*stream*/) {
    avgpool_f32_loops<LanesF32Avx2>(in, out, c, h, w);
}

}  // namespace vantrel
