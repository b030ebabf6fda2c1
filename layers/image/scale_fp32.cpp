#include "layers/image/scale_fp32.h"

#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "scale_fp32";
}

Shape3 ScaleFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                          ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    const int64_t n = element_count(inputs[0].shape());
    require_input_extent(kOp, name, inputs, 0, 4);
    require_output_extent(kOp, name, output, n, 4);
    const int32_t n32 = checked_int32_count(kOp, name, n);
    if (!be.k_scale_f32) layer_fail(kOp, name, "the active backend has no k_scale_f32 kernel");
    be.k_scale_f32(static_cast<const float*>(inputs[0].data), static_cast<float*>(output->data), n32,
                   ctx ? ctx->stream : nullptr, scalar);
    return inputs[0].shape();
}

std::unique_ptr<ILayer> create_scale_fp32(const LayerInit& in) {
    return std::make_unique<ScaleFp32>(in.args.f("scalar"));
}

}  // namespace vantrel
