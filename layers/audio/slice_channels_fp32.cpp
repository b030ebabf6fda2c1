#include "layers/audio/slice_channels_fp32.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "slice_channels_fp32";
}

SliceChannelsFp32::SliceChannelsFp32(const std::string& node_name, int32_t start, int32_t end)
    : ch_start(start), ch_end(end) {
    name = node_name;
    require_arg_at_least(kOp, name, "ch_start", ch_start, 0);
    require_arg_at_least(kOp, name, "ch_end", ch_end, ch_start);
}

Shape3 SliceChannelsFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                  ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    const TensorView& x = inputs[0];
    if (x.c < ch_end)
        layer_fail(kOp, name, "channel range [" + std::to_string(ch_start) + ", " + std::to_string(ch_end) +
                                  ") lies outside the input's " + std::to_string(x.c) + " channels");
    const int64_t rows = checked_elements(kOp, name, "input 0", 1, x.h, x.w, 4);
    // 32-bit row counts keep every product below in 64 bits.
    checked_int32_count(kOp, name, rows);
    require_view_holds(kOp, name, "input 0", x.bytes, int64_t(x.c) * rows, 4);
    const int64_t count = int64_t(ch_end) - ch_start;
    require_output_extent(kOp, name, output, count * rows, 4);
    const int32_t n = checked_int32_count(kOp, name, rows);
    checked_int32_count(kOp, name, int64_t(x.c) * rows);
    if (!be.k_slice_channels_f32) layer_fail(kOp, name, "the active backend has no k_slice_channels_f32 kernel");
    be.k_slice_channels_f32(static_cast<const float*>(x.data), static_cast<float*>(output->data), n, x.c,
                            ch_start, int32_t(count), ctx ? ctx->stream : nullptr);
    return Shape3{int32_t(count), n, 1};
}

std::unique_ptr<ILayer> create_slice_channels_fp32(const LayerInit& in) {
    return std::make_unique<SliceChannelsFp32>(in.name, in.args.i("ch_start"), in.args.i("ch_end"));
}

}  // namespace vantrel
