#include "kernels/conv/conv1d_f32_direct.h"
#include "kernels/conv/conv1d_f32_direct_x86.h"

namespace vantrel {

// 6 steps x 16 channels: 12 accumulators, 2 weight registers, 1 broadcast.
void conv1d_f32_direct_avx2(VANTREL_CONV1D_DIRECT_F32_ARGS) {
    conv1d_direct_run<X86DirectRange<6>>(VANTREL_CONV1D_DIRECT_ARGS_STRUCT);
}

}  // namespace vantrel
