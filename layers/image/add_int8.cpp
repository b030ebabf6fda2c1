#include "layers/image/add_int8.h"

#include <cmath>
#include <cstdio>

#include "layers/common/elementwise_io.h"
#include "layers/common/layer_checks.h"
#include "layers/common/quant_args.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "add_int8";
}  // namespace

AddInt8::AddInt8(const std::string& node_name, float in1_scale_, float in2_scale_,
                 float out_scale_, int32_t in1_zp_, int32_t in2_zp_, int32_t out_zp_)
    : ShapeKeeping(node_name), in1_scale(in1_scale_), in2_scale(in2_scale_), out_scale(out_scale_),
      in1_zp(in1_zp_), in2_zp(in2_zp_), out_zp(out_zp_) {
    require_out_scale(kOp, name, out_scale);
    require_finite_scale(kOp, name, "in1_scale", in1_scale);
    require_finite_scale(kOp, name, "in2_scale", in2_scale);
}

Shape3 AddInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                        ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const int32_t n32 = elementwise_count(kOp, name, inputs, num_inputs, output, 2, 1);
    require_kernel(kOp, name, be.k_add_s8, "k_add_s8")(
        static_cast<const int8_t*>(inputs[0].data), static_cast<const int8_t*>(inputs[1].data), in1_zp, in2_zp,
        out_zp, static_cast<int8_t*>(output->data), n32, stream_of(ctx), in1_scale, in2_scale, out_scale);
    return inputs[0].shape();
}

std::unique_ptr<ILayer> create_add_int8(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<AddInt8>(in.name, a.f("in1_scale"), a.f("in2_scale"), a.f("out_scale"), a.i("in1_zp"),
                                     a.i("in2_zp"), a.i("out_zp"));
}

}  // namespace vantrel
