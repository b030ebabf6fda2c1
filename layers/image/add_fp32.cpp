#include "layers/image/add_fp32.h"

#include "layers/common/elementwise_io.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "add_fp32";
}

Shape3 AddFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                        ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const int32_t n32 = elementwise_count(kOp, name, inputs, num_inputs, output, 2, 4);
    require_kernel(kOp, name, be.k_add_f32, "k_add_f32")(static_cast<const float*>(inputs[0].data),
                                                          static_cast<const float*>(inputs[1].data),
                                                          static_cast<float*>(output->data), n32, relu,
                                                          stream_of(ctx));
    return inputs[0].shape();
}

std::unique_ptr<ILayer> create_add_fp32(const LayerInit&) {
    return std::make_unique<AddFp32>();
}

}  // namespace vantrel
