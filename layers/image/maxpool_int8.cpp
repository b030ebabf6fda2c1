#include "layers/image/maxpool_int8.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "maxpool_int8";
}

MaxPoolInt8::MaxPoolInt8(const std::string& node_name, int32_t kH_, int32_t kW_,
                         int32_t stride_h_, int32_t stride_w_, int32_t pad_h_, int32_t pad_w_,
                         int8_t in_zp_, int8_t out_zp_, bool ceil_mode_)
    : WindowPoolLayer(kOp, node_name, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, ceil_mode_),
      in_zp(in_zp_),
      out_zp(out_zp_) {}

Shape3 MaxPoolInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                            ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    int64_t n = 0;
    const Shape3 out = checked_io(kOp, inputs, num_inputs, output, 1, n);
    if (ceil_mode) {
        const KMaxPoolCeilS8 k = require_kernel(kOp, name, be.k_maxpool_ceil_s8, "k_maxpool_ceil_s8");
        if (n > 0)
            k(static_cast<const int8_t*>(inputs[0].data), static_cast<int8_t*>(output->data), out.c,
              nonnegative(inputs[0].h), nonnegative(inputs[0].w), out.h, out.w, kH, kW, stride_h, stride_w,
              pad_h, pad_w, stream_of(ctx));
        return out;
    }
    const KMaxPoolS8 k = require_kernel(kOp, name, be.k_maxpool_s8, "k_maxpool_s8");
    if (n > 0)
        k(static_cast<const int8_t*>(inputs[0].data), static_cast<int8_t*>(output->data), out.c,
          nonnegative(inputs[0].h), nonnegative(inputs[0].w), kH, kW, stride_h, stride_w, pad_h, pad_w,
          stream_of(ctx));
    return out;
}

std::unique_ptr<ILayer> create_maxpool_int8(const LayerInit& in) {
    // Zero points keep their low 8 bits.
    const LayerArgs& a = in.args;
    return std::make_unique<MaxPoolInt8>(in.name, a.i("kH"), a.i("kW"), a.i("stride_h"), a.i("stride_w"),
                                         a.i("pad_h"), a.i("pad_w"), int8_t(a.i("in_zp")),
                                         int8_t(a.i("out_zp")), a.b("ceil_mode"));
}

}  // namespace vantrel
