#include "layers/audio/elemwise_mul_fp32.h"

#include "layers/common/elementwise_io.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "elemwise_mul_fp32";
}

Shape3 ElemwiseMulFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 2);
    const int64_t n = operand_elements(kOp, name, inputs, 0, 4);
    const int64_t nb = operand_elements(kOp, name, inputs, 1, 4);
    if (n != nb)
        layer_fail(kOp, name, "input 1 has " + std::to_string(nb) + " elements, input 0 has " +
                                  std::to_string(n));
    const int32_t n32 = two_operand_count(kOp, name, inputs, output, n, 4);
    if (!be.k_mul_f32) layer_fail(kOp, name, "the active backend has no k_mul_f32 kernel");
    be.k_mul_f32(static_cast<const float*>(inputs[0].data), static_cast<const float*>(inputs[1].data),
                 static_cast<float*>(output->data), n32, ctx ? ctx->stream : nullptr);
    return inputs[0].shape();
}

std::unique_ptr<ILayer> create_elemwise_mul_fp32(const LayerInit&) {
    return std::make_unique<ElemwiseMulFp32>();
}

}  // namespace vantrel
