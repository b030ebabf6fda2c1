#include "kernels/norm/ada_in1d_f32.h"
#include "kernels/norm/ada_in1d_f32_loops.h"
#include "kernels/simd/lanes_f32_neon.h"

namespace vantrel {

VANTREL_ADA_IN1D_KERNEL(k_ada_in1d_f32_neon, LanesF32Neon)

}  // namespace vantrel
