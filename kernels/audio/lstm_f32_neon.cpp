// One group of 4 units per step.
#include "kernels/audio/lstm_cell_lanes.h"
#include "kernels/audio/lstm_f32.h"
#include "kernels/simd/vmath_neon.h"

namespace vantrel {

void lstm_cell_f32_neon(VANTREL_LSTM_CELL_F32_ARGS) { lstm_cell_lanes<vmath::VmathLanesNeon>(z, g, c, hs, h); }

}  // namespace vantrel
