#include "layers/image/avgpool_fp32.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "avgpool_fp32";
}

Shape3 AvgPoolFp32::output_shape(Shape3 in) const { return Shape3{nonnegative(in.c), 1, 1}; }

Shape3 AvgPoolFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                            ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    require_input_holds(kOp, name, inputs, 0, 4);
    const Shape3 in = inputs[0].shape();
    const Shape3 out = output_shape(in);
    require_output_extent(kOp, name, output, out.c, 4);
    if (!be.k_avgpool_f32) layer_fail(kOp, name, "the active backend has no k_avgpool_f32 kernel");
    if (out.c > 0)
        be.k_avgpool_f32(static_cast<const float*>(inputs[0].data), static_cast<float*>(output->data),
                         out.c, nonnegative(in.h), nonnegative(in.w), ctx ? ctx->stream : nullptr);
    return out;
}

std::unique_ptr<ILayer> create_avgpool_fp32(const LayerInit&) {
    return std::make_unique<AvgPoolFp32>();
}

}  // namespace vantrel
