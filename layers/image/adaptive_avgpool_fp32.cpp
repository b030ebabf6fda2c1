#include "layers/image/adaptive_avgpool_fp32.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "layers/image/pool_window.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "adaptive_avgpool_fp32";
}

AdaptiveAvgPoolFp32::AdaptiveAvgPoolFp32(const std::string& node_name, int32_t out_h_, int32_t out_w_)
    : Fp32Layer(node_name), out_h(out_h_), out_w(out_w_) {
    require_arg_at_least(kOp, node_name, "out_h", out_h, 1);
    require_arg_at_least(kOp, node_name, "out_w", out_w, 1);
}

Shape3 AdaptiveAvgPoolFp32::output_shape(Shape3 in) const { return Shape3{nonnegative(in.c), out_h, out_w}; }

Shape3 AdaptiveAvgPoolFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                    ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const Shape3 in = pool_input(kOp, name, inputs, num_inputs, 4);
    const Shape3 out = AdaptiveAvgPoolFp32::output_shape(in);
    const int64_t n = checked_elements(kOp, name, "output", out.c, out.h, out.w, 4);
    require_output_extent(kOp, name, output, n, 4);
    const KAdaptiveAvgPoolF32 k = require_kernel(kOp, name, be.k_adaptive_avgpool_f32, "k_adaptive_avgpool_f32");
    if (n > 0)
        k(static_cast<const float*>(inputs[0].data), static_cast<float*>(output->data), out.c, nonnegative(in.h),
          nonnegative(in.w), out.h, out.w, stream_of(ctx));
    return out;
}

std::unique_ptr<ILayer> create_adaptive_avgpool_fp32(const LayerInit& in) {
    return std::make_unique<AdaptiveAvgPoolFp32>(in.name, in.args.i("out_h"), in.args.i("out_w"));
}

}  // namespace vantrel
