#include "layers/image/add_int8.h"

#include <cmath>
#include <cstdio>

#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "add_int8";

std::string show(float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", double(v));
    return buf;
}
}  // namespace

AddInt8::AddInt8(const std::string& node_name, float in1_scale_, float in2_scale_,
                 float out_scale_, int32_t in1_zp_, int32_t in2_zp_, int32_t out_zp_)
    : in1_scale(in1_scale_), in2_scale(in2_scale_), out_scale(out_scale_), in1_zp(in1_zp_),
      in2_zp(in2_zp_), out_zp(out_zp_) {
    name = node_name;
    if (!std::isfinite(out_scale) || !(out_scale > 0.0f))
        layer_fail(kOp, name, "argument 'out_scale' must be finite and positive, got " +
                                  show(out_scale));
    if (!std::isfinite(in1_scale))
        layer_fail(kOp, name, "argument 'in1_scale' must be finite, got " + show(in1_scale));
    if (!std::isfinite(in2_scale))
        layer_fail(kOp, name, "argument 'in2_scale' must be finite, got " + show(in2_scale));
}

Shape3 AddInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                        ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 2);
    const int64_t n = element_count(inputs[0].shape());
    require_input_extent(kOp, name, inputs, 0, 1);
    require_view_holds(kOp, name, "input 1", inputs[1].bytes, n, 1);
    require_output_extent(kOp, name, output, n, 1);
    const int32_t n32 = checked_int32_count(kOp, name, n);
    if (!be.k_add_s8) layer_fail(kOp, name, "the active backend has no k_add_s8 kernel");
    be.k_add_s8(static_cast<const int8_t*>(inputs[0].data), static_cast<const int8_t*>(inputs[1].data),
                in1_zp, in2_zp, out_zp, static_cast<int8_t*>(output->data), n32,
                ctx ? ctx->stream : nullptr, in1_scale, in2_scale, out_scale);
    return inputs[0].shape();
}

std::unique_ptr<ILayer> create_add_int8(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<AddInt8>(in.name, a.f("in1_scale"), a.f("in2_scale"), a.f("out_scale"), a.i("in1_zp"),
                                     a.i("in2_zp"), a.i("out_zp"));
}

}  // namespace vantrel
