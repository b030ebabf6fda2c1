#include "layers/image/scale_fp32.h"

#include "layers/common/elementwise_io.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "scale_fp32";
}

Shape3 ScaleFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                          ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const int32_t n32 = elementwise_count(kOp, name, inputs, num_inputs, output, 1, 4);
    require_kernel(kOp, name, be.k_scale_f32, "k_scale_f32")(static_cast<const float*>(inputs[0].data),
                                                              static_cast<float*>(output->data), n32,
                                                              stream_of(ctx), scalar);
    return inputs[0].shape();
}

std::unique_ptr<ILayer> create_scale_fp32(const LayerInit& in) {
    return std::make_unique<ScaleFp32>(in.args.f("scalar"));
}

}  // namespace vantrel
