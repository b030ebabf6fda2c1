#include "layers/audio/sum_channels_fp32.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "sum_channels_fp32";
}

Shape3 SumChannelsFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                ExecContext*) {
    const Backend& be = active_backend_or_throw();
    const auto [x, c, rows] = channel_rows_input(kOp, name, inputs, num_inputs, 1, 4);
    // 32-bit row counts keep every product below in 64 bits.
    checked_int32_count(kOp, name, rows);
    require_view_holds(kOp, name, "input 0", x.bytes, c * rows, 4);
    require_output_extent(kOp, name, output, rows, 4);
    const int32_t n = checked_int32_count(kOp, name, rows);
    checked_int32_count(kOp, name, c * rows);
    if (!be.k_row_sum_f32) layer_fail(kOp, name, "the active backend has no k_row_sum_f32 kernel");
    be.k_row_sum_f32(static_cast<const float*>(x.data), static_cast<float*>(output->data), n, int32_t(c));
    return Shape3{1, n, 1};
}

std::unique_ptr<ILayer> create_sum_channels_fp32(const LayerInit&) {
    return std::make_unique<SumChannelsFp32>();
}

}  // namespace vantrel
