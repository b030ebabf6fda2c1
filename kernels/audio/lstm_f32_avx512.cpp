// Sixteen units per step; the groups of 4 left over take one masked register.
#include "kernels/audio/lstm_cell_lanes.h"
#include "kernels/audio/lstm_f32.h"
#include "kernels/simd/vmath_avx512.h"

namespace vantrel {

void lstm_cell_f32_avx512(VANTREL_LSTM_CELL_F32_ARGS) { lstm_cell_lanes<vmath::VmathLanesAvx512>(z, g, c, hs, h); }

}  // namespace vantrel
