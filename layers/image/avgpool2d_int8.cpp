#include "layers/image/avgpool2d_int8.h"

#include <cmath>

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "layers/common/quant_args.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "avgpool2d_int8";
constexpr const char* kAdaptiveOp = "adaptive_avgpool_int8";

void require_zp(const char* op, const std::string& node, const char* key, int32_t zp) {
    if (zp < -128 || zp > 127)
        layer_fail(op, node, std::string("argument '") + key + "' must be in [-128, 127], got " + std::to_string(zp));
}

// As avgpool2d_fp32: a larger pad would let a floor-mode window lie entirely
// in the padding.
void require_half_kernel(const std::string& node, const char* pad_key, int32_t pad, const char* k_key, int32_t k) {
    if (pad > k / 2)
        layer_fail(kOp, node, std::string("argument '") + pad_key + "' must be at most half of '" + k_key + "' (" +
                                  std::to_string(k / 2) + "), got " + std::to_string(pad));
}
}  // namespace

AvgQuant::AvgQuant(const char* op, const std::string& node, float in_scale, float out_scale, int32_t in_zp_,
                   int32_t out_zp_)
    : in_zp(in_zp_), out_zp(out_zp_) {
    require_out_scale(op, node, out_scale);
    require_finite_scale(op, node, "in_scale", in_scale);
    require_zp(op, node, "in_zp", in_zp);
    require_zp(op, node, "out_zp", out_zp);
    ratio = in_scale / out_scale;
    if (!std::isfinite(ratio)) ratio = 0.0f;
}

AvgPool2dInt8::AvgPool2dInt8(const std::string& node_name, int32_t kH_, int32_t kW_, int32_t stride_h_,
                             int32_t stride_w_, int32_t pad_h_, int32_t pad_w_, bool ceil_mode_,
                             bool count_include_pad_, float in_scale, float out_scale, int32_t in_zp_,
                             int32_t out_zp_)
    : WindowPoolLayer(kOp, node_name, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, ceil_mode_),
      AvgQuant(kOp, node_name, in_scale, out_scale, in_zp_, out_zp_),
      count_include_pad(count_include_pad_) {
    require_half_kernel(node_name, "pad_h", pad_h, "kH", kH);
    require_half_kernel(node_name, "pad_w", pad_w, "kW", kW);
}

Shape3 AvgPool2dInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                              ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    int64_t n = 0;
    const Shape3 out = checked_io(kOp, inputs, num_inputs, output, 1, n);
    const KAvgPool2dS8 k = require_kernel(kOp, name, be.k_avgpool2d_s8, "k_avgpool2d_s8");
    if (n > 0)
        k(static_cast<const int8_t*>(inputs[0].data), static_cast<int8_t*>(output->data), out.c,
          nonnegative(inputs[0].h), nonnegative(inputs[0].w), out.h, out.w, kH, kW, stride_h, stride_w, pad_h,
          pad_w, count_include_pad, in_zp, out_zp, ratio, stream_of(ctx));
    return out;
}

AdaptiveAvgPoolInt8::AdaptiveAvgPoolInt8(const std::string& node_name, int32_t out_h_, int32_t out_w_,
                                         float in_scale, float out_scale, int32_t in_zp_, int32_t out_zp_)
    : Int8Layer(node_name), AvgQuant(kAdaptiveOp, node_name, in_scale, out_scale, in_zp_, out_zp_),
      out_h(out_h_), out_w(out_w_) {
    require_arg_at_least(kAdaptiveOp, node_name, "out_h", out_h, 1);
    require_arg_at_least(kAdaptiveOp, node_name, "out_w", out_w, 1);
}

Shape3 AdaptiveAvgPoolInt8::output_shape(Shape3 in) const { return Shape3{nonnegative(in.c), out_h, out_w}; }

Shape3 AdaptiveAvgPoolInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                    ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const Shape3 in = pool_input(kAdaptiveOp, name, inputs, num_inputs, 1);
    const Shape3 out = AdaptiveAvgPoolInt8::output_shape(in);
    const int64_t n = checked_elements(kAdaptiveOp, name, "output", out.c, out.h, out.w, 1);
    require_output_extent(kAdaptiveOp, name, output, n, 1);
    const KAdaptiveAvgPoolS8 k =
        require_kernel(kAdaptiveOp, name, be.k_adaptive_avgpool_s8, "k_adaptive_avgpool_s8");
    if (n > 0)
        k(static_cast<const int8_t*>(inputs[0].data), static_cast<int8_t*>(output->data), out.c, nonnegative(in.h),
          nonnegative(in.w), out.h, out.w, in_zp, out_zp, ratio, stream_of(ctx));
    return out;
}

std::unique_ptr<ILayer> create_avgpool2d_int8(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<AvgPool2dInt8>(in.name, a.i("kH"), a.i("kW"), a.i("stride_h"), a.i("stride_w"),
                                           a.i("pad_h"), a.i("pad_w"), a.b("ceil_mode"), a.b("count_include_pad"),
                                           a.f("in_scale"), a.f("out_scale"), a.i("in_zp"), a.i("out_zp"));
}

std::unique_ptr<ILayer> create_adaptive_avgpool_int8(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<AdaptiveAvgPoolInt8>(in.name, a.i("out_h"), a.i("out_w"), a.f("in_scale"),
                                                 a.f("out_scale"), a.i("in_zp"), a.i("out_zp"));
}

}  // namespace vantrel
