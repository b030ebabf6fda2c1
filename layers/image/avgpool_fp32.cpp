#include "layers/image/avgpool_fp32.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "avgpool_fp32";
}

Shape3 AvgPoolFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                            ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const Shape3 in = pool_input(kOp, name, inputs, num_inputs, 4);
    const Shape3 out = output_shape(in);
    require_output_extent(kOp, name, output, out.c, 4);
    const KAvgPoolF32 k = require_kernel(kOp, name, be.k_avgpool_f32, "k_avgpool_f32");
    if (out.c > 0)
        k(static_cast<const float*>(inputs[0].data), static_cast<float*>(output->data), out.c,
          nonnegative(in.h), nonnegative(in.w), stream_of(ctx));
    return out;
}

std::unique_ptr<ILayer> create_avgpool_fp32(const LayerInit&) {
    return std::make_unique<AvgPoolFp32>();
}

}  // namespace vantrel
