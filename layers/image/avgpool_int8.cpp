#include "layers/image/avgpool_int8.h"

#include <cmath>
#include <cstdio>

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "layers/common/quant_args.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "avgpool_int8";
}  // namespace

AvgPoolInt8::AvgPoolInt8(const std::string& node_name, float in_scale_, float out_scale_,
                         int32_t in_zp_, int32_t out_zp_)
    : GlobalPoolLayer(node_name), in_scale(in_scale_), out_scale(out_scale_), in_zp(in_zp_), out_zp(out_zp_) {
    require_out_scale(kOp, name, out_scale);
    require_finite_scale(kOp, name, "in_scale", in_scale);
}

Shape3 AvgPoolInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                            ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const Shape3 in = pool_input(kOp, name, inputs, num_inputs, 1);
    const Shape3 out = output_shape(in);
    require_output_extent(kOp, name, output, out.c, 1);
    const KAvgPoolS8 k = require_kernel(kOp, name, be.k_avgpool_s8, "k_avgpool_s8");
    if (out.c > 0)
        k(static_cast<const int8_t*>(inputs[0].data), in_zp, out_zp, static_cast<int8_t*>(output->data), out.c,
          nonnegative(in.h), nonnegative(in.w), stream_of(ctx), in_scale, out_scale);
    return out;
}

std::unique_ptr<ILayer> create_avgpool_int8(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<AvgPoolInt8>(in.name, a.f("in_scale"), a.f("out_scale"), a.i("in_zp"), a.i("out_zp"));
}

}  // namespace vantrel
