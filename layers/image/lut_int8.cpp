#include "layers/image/lut_int8.h"

#include "layers/common/elementwise_io.h"
#include "layers/common/fetch_typed_tensor.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "lut_int8";
}

void LutInt8::load_weights(const WeightFetch& fetch) {
    fetch_typed_tensor(kOp, name, fetch, name + ".table", 256, "int8", table);
}

Shape3 LutInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output, ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    if (table.size() != 256) layer_fail(kOp, name, "weights are not loaded");
    const int32_t n = elementwise_count(kOp, name, inputs, num_inputs, output, 1, 1);
    if (n > 0)
        require_kernel(kOp, name, be.k_lut_s8, "k_lut_s8")(static_cast<const int8_t*>(inputs[0].data),
                                                           table.data(), static_cast<int8_t*>(output->data), n,
                                                           stream_of(ctx));
    return inputs[0].shape();
}

std::unique_ptr<ILayer> create_lut_int8(const LayerInit& in) { return std::make_unique<LutInt8>(in.name); }

}  // namespace vantrel
