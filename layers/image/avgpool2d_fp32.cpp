#include "layers/image/avgpool2d_fp32.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "avgpool2d_fp32";

// A larger pad would let a floor-mode window lie entirely in the padding;
// PyTorch refuses it too.
void require_half_kernel(const std::string& node, const char* pad_key, int32_t pad, const char* k_key, int32_t k) {
    if (pad > k / 2)
        layer_fail(kOp, node, std::string("argument '") + pad_key + "' must be at most half of '" + k_key + "' (" +
                                  std::to_string(k / 2) + "), got " + std::to_string(pad));
}
}  // namespace

AvgPool2dFp32::AvgPool2dFp32(const std::string& node_name, int32_t kH_, int32_t kW_, int32_t stride_h_,
                             int32_t stride_w_, int32_t pad_h_, int32_t pad_w_, bool ceil_mode_,
                             bool count_include_pad_)
    : WindowPoolLayer(kOp, node_name, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, ceil_mode_),
      count_include_pad(count_include_pad_) {
    require_half_kernel(node_name, "pad_h", pad_h, "kH", kH);
    require_half_kernel(node_name, "pad_w", pad_w, "kW", kW);
}

Shape3 AvgPool2dFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                              ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    int64_t n = 0;
    const Shape3 out = checked_io(kOp, inputs, num_inputs, output, 4, n);
    const KAvgPool2dF32 k = require_kernel(kOp, name, be.k_avgpool2d_f32, "k_avgpool2d_f32");
    if (n > 0)
        k(static_cast<const float*>(inputs[0].data), static_cast<float*>(output->data), out.c,
          nonnegative(inputs[0].h), nonnegative(inputs[0].w), out.h, out.w, kH, kW, stride_h, stride_w, pad_h,
          pad_w, count_include_pad, stream_of(ctx));
    return out;
}

std::unique_ptr<ILayer> create_avgpool2d_fp32(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<AvgPool2dFp32>(in.name, a.i("kH"), a.i("kW"), a.i("stride_h"), a.i("stride_w"),
                                           a.i("pad_h"), a.i("pad_w"), a.b("ceil_mode"),
                                           a.b("count_include_pad"));
}

}  // namespace vantrel
