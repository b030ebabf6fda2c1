#include "layers/image/quantize_int8.h"

#include <cmath>

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "layers/common/quant_args.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kQuantOp = "quantize_int8";
constexpr const char* kDequantOp = "dequantize_int8";

// One input holding its shape and an output of its element count; returns
// that count.
int64_t checked_unary(const char* op, const std::string& node, const TensorView* inputs, int num_inputs,
                      const BufferView* output, int64_t in_bytes, int64_t out_bytes) {
    require_inputs(op, node, num_inputs, 1);
    const TensorView& x = inputs[0];
    const int64_t n = checked_elements(op, node, "input 0", x.c, x.h, x.w, in_bytes > out_bytes ? in_bytes : out_bytes);
    require_input_holds(op, node, inputs, 0, in_bytes);
    require_output_extent(op, node, output, n, out_bytes);
    return n;
}
}  // namespace

void require_quant_params(const char* op, const std::string& node, float scale, int32_t zp) {
    if (!std::isfinite(scale) || !(scale > 0.0f))
        layer_fail(op, node, "argument 'scale' must be finite and positive, got " + show_scale(scale));
    if (zp < -128 || zp > 127)
        layer_fail(op, node, "argument 'zp' must be in [-128, 127], got " + std::to_string(zp));
}

QuantizeInt8::QuantizeInt8(const std::string& node_name, float scale_, int32_t zp_)
    : ShapeKeeping<Int8Layer>(node_name), scale(scale_), zp(zp_) {
    require_quant_params(kQuantOp, name, scale, zp);
}

Shape3 QuantizeInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                             ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const int64_t n = checked_unary(kQuantOp, name, inputs, num_inputs, output, 4, 1);
    if (n > 0)
        require_kernel(kQuantOp, name, be.k_quantize_s8, "k_quantize_s8")(
            static_cast<const float*>(inputs[0].data), static_cast<int8_t*>(output->data), n, scale, zp,
            stream_of(ctx));
    return inputs[0].shape();
}

DequantizeInt8::DequantizeInt8(const std::string& node_name, float scale_, int32_t zp_)
    : ShapeKeeping<Fp32Layer>(node_name), scale(scale_), zp(zp_) {
    require_quant_params(kDequantOp, name, scale, zp);
}

Shape3 DequantizeInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                               ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const int64_t n = checked_unary(kDequantOp, name, inputs, num_inputs, output, 1, 4);
    if (n > 0)
        require_kernel(kDequantOp, name, be.k_dequantize_s8, "k_dequantize_s8")(
            static_cast<const int8_t*>(inputs[0].data), static_cast<float*>(output->data), n, scale, zp,
            stream_of(ctx));
    return inputs[0].shape();
}

std::unique_ptr<ILayer> create_quantize_int8(const LayerInit& in) {
    return std::make_unique<QuantizeInt8>(in.name, in.args.f("scale"), in.args.i("zp"));
}

std::unique_ptr<ILayer> create_dequantize_int8(const LayerInit& in) {
    return std::make_unique<DequantizeInt8>(in.name, in.args.f("scale"), in.args.i("zp"));
}

}  // namespace vantrel
