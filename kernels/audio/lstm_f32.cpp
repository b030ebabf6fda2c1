#include "kernels/audio/lstm_f32.h"

#include "kernels/audio/lstm_cell_lanes.h"

namespace vantrel {

void lstm_cell_f32_portable(VANTREL_LSTM_CELL_F32_ARGS) {
    if (h <= 0) return;
    const int64_t groups_end = int64_t(h) / 4 * 4;
    lstm_lane::group_units(z, g, c, hs, h, 0, groups_end);
    lstm_lane::tail_units(z, g, c, hs, h, groups_end);
}

}  // namespace vantrel
