#include "layers/image/nchw_to_nhwc_fp32.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "nchw_to_nhwc_fp32";
}

Shape3 NchwToNhwcFp32::output_shape(Shape3 in) const {
    return Shape3{nonnegative(in.h), nonnegative(in.w), nonnegative(in.c)};
}

Shape3 NchwToNhwcFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                               ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    const TensorView& x = inputs[0];
    const Shape3 out = NchwToNhwcFp32::output_shape(x.shape());
    const int64_t n = checked_elements(kOp, name, "input 0", x.c, x.h, x.w, 4);
    require_input_holds(kOp, name, inputs, 0, 4);
    require_output_extent(kOp, name, output, n, 4);
    if (n > 0)
        require_kernel(kOp, name, be.k_nchw_to_nhwc_f32, "k_nchw_to_nhwc_f32")(
            static_cast<const float*>(x.data), static_cast<float*>(output->data), out.c,
            int64_t(out.h) * int64_t(out.w), stream_of(ctx));
    return out;
}

std::unique_ptr<ILayer> create_nchw_to_nhwc_fp32(const LayerInit& in) {
    return std::make_unique<NchwToNhwcFp32>(in.name);
}

}  // namespace vantrel
