#include "layers/image/avgpool_int8.h"

#include <cmath>
#include <cstdio>

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "avgpool_int8";

std::string show(float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", double(v));
    return buf;
}
}  // namespace

AvgPoolInt8::AvgPoolInt8(const std::string& node_name, float in_scale_, float out_scale_,
                         int32_t in_zp_, int32_t out_zp_)
    : in_scale(in_scale_), out_scale(out_scale_), in_zp(in_zp_), out_zp(out_zp_) {
    name = node_name;
    if (!std::isfinite(out_scale) || !(out_scale > 0.0f))
        layer_fail(kOp, name, "argument 'out_scale' must be finite and positive, got " +
                                  show(out_scale));
    if (!std::isfinite(in_scale))
        layer_fail(kOp, name, "argument 'in_scale' must be finite, got " + show(in_scale));
}

Shape3 AvgPoolInt8::output_shape(Shape3 in) const { return Shape3{nonnegative(in.c), 1, 1}; }

Shape3 AvgPoolInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                            ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    require_input_holds(kOp, name, inputs, 0, 1);
    const Shape3 in = inputs[0].shape();
    const Shape3 out = output_shape(in);
    require_output_extent(kOp, name, output, out.c, 1);
    if (!be.k_avgpool_s8) layer_fail(kOp, name, "the active backend has no k_avgpool_s8 kernel");
    if (out.c > 0)
        be.k_avgpool_s8(static_cast<const int8_t*>(inputs[0].data), in_zp, out_zp,
                        static_cast<int8_t*>(output->data), out.c, nonnegative(in.h),
                        nonnegative(in.w), ctx ? ctx->stream : nullptr, in_scale, out_scale);
    return out;
}

std::unique_ptr<ILayer> create_avgpool_int8(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<AvgPoolInt8>(in.name, a.f("in_scale"), a.f("out_scale"), a.i("in_zp"), a.i("out_zp"));
}

}  // namespace vantrel
