#include "kernels/conv/conv1d_f32_direct.h"
#include "kernels/conv/conv1d_f32_direct_x86.h"

namespace vantrel {

// 12 steps x 16 channels: 24 of the 32 vector registers accumulate.
void conv1d_f32_direct_avx512(VANTREL_CONV1D_DIRECT_F32_ARGS) {
    conv1d_direct_run<X86DirectRange<12>>(VANTREL_CONV1D_DIRECT_ARGS_STRUCT);
}

}  // namespace vantrel
