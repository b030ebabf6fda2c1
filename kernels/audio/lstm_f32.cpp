#include "kernels/audio/lstm_f32.h"

#include "kernels/kernel_path.h"
#include "kernels/audio/lstm_cell_lanes.h"

namespace vantrel {

void lstm_cell_f32_portable(VANTREL_LSTM_CELL_F32_ARGS) {
    if (h <= 0) return;
    const int64_t groups_end = int64_t(h) / 4 * 4;
    lstm_lane::group_units(z, g, c, hs, h, 0, groups_end);
    lstm_lane::tail_units(z, g, c, hs, h, groups_end);
}

void lstm_cell_f32(VANTREL_LSTM_CELL_F32_ARGS) {
    auto fn = pick_kernel<LstmCellF32Fn>(active_kernel_path(), &lstm_cell_f32_portable,
#if defined(__x86_64__)
                                         &lstm_cell_f32_avx2, &lstm_cell_f32_avx512, nullptr
#elif defined(__aarch64__)
                                         nullptr, nullptr, &lstm_cell_f32_neon
#else
                                         nullptr, nullptr, nullptr
#endif
    );
    fn(z, g, c, hs, h);
}

}  // namespace vantrel
