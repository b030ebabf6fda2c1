#include "kernels/audio/snake_f32.h"
#include "kernels/audio/snake_f32_loops.h"
#include "kernels/simd/vmath_neon.h"

namespace vantrel {

VANTREL_SNAKE_KERNEL(k_snake_f32_neon, vmath::VmathLanesNeon)

}  // namespace vantrel
