#include "layers/image/channel_mul_int8.h"

#include "kernels/quantize.h"
#include "layers/common/elementwise_io.h"
#include "layers/common/layer_checks.h"
#include "layers/common/quant_args.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "channel_mul_int8";
}

ChannelMulInt8::ChannelMulInt8(const std::string& node_name, float in1_scale, float in2_scale, float out_scale,
                               int32_t in1_zp_, int32_t in2_zp_, int32_t out_zp_)
    : FirstInputShape<Int8Layer>(node_name), in1_zp(in1_zp_), in2_zp(in2_zp_), out_zp(out_zp_) {
    require_out_scale(kOp, name, out_scale);
    require_finite_scale(kOp, name, "in1_scale", in1_scale);
    require_finite_scale(kOp, name, "in2_scale", in2_scale);
    for (auto [key, zp] : {std::pair{"in1_zp", in1_zp}, {"in2_zp", in2_zp}, {"out_zp", out_zp}})
        if (zp < -128 || zp > 127)
            layer_fail(kOp, name, std::string("argument '") + key + "' must be in [-128, 127], got " +
                                      std::to_string(zp));
    float ratio = in1_scale * in2_scale / out_scale;
    if (!std::isfinite(ratio)) ratio = 0.0f;
    const QuantMultiplier q = quantize_multiplier(ratio);
    multiplier = q.multiplier;
    shift = q.shift;
}

Shape3 ChannelMulInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                               ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const auto [x, c, rows] = channel_rows_input(kOp, name, inputs, num_inputs, 2, 1);
    const int64_t n = operand_elements(kOp, name, inputs, 0, 1);
    const int64_t ns = operand_elements(kOp, name, inputs, 1, 1);
    if (ns != c)
        layer_fail(kOp, name, "input 1 has " + std::to_string(ns) + " elements, expected one per channel of input 0 (" +
                                  std::to_string(c) + ")");
    two_operand_count(kOp, name, inputs, output, n, 1);
    if (n > 0)
        require_kernel(kOp, name, be.k_channel_mul_s8, "k_channel_mul_s8")(
            static_cast<const int8_t*>(x.data), static_cast<const int8_t*>(inputs[1].data),
            static_cast<int8_t*>(output->data), int32_t(rows), int32_t(c), in1_zp, in2_zp, out_zp, multiplier,
            shift, stream_of(ctx));
    return x.shape();
}

std::unique_ptr<ILayer> create_channel_mul_int8(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<ChannelMulInt8>(in.name, a.f("in1_scale"), a.f("in2_scale"), a.f("out_scale"),
                                            a.i("in1_zp"), a.i("in2_zp"), a.i("out_zp"));
}

}  // namespace vantrel
