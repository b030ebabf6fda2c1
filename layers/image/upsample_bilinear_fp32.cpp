#include "layers/image/upsample_bilinear_fp32.h"

#include <cmath>
#include <cstdio>

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "upsample_bilinear_fp32";

std::string show(float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", double(v));
    return buf;
}
}  // namespace

int64_t upsampled_extent(int32_t n, float scale) {
    const float v = std::fmaf(float(nonnegative(n)), scale, 0.5f);
    if (!(v < 2147483648.0f)) return -1;
    return v < 0.0f ? 0 : int64_t(v);
}

UpsampleBilinearFp32::UpsampleBilinearFp32(const std::string& node_name, float scale_h_,
                                           float scale_w_)
    : scale_h(scale_h_), scale_w(scale_w_) {
    name = node_name;
    if (!std::isfinite(scale_h) || !(scale_h > 0.0f))
        layer_fail(kOp, name, "argument 'scale_h' must be finite and positive, got " + show(scale_h));
    if (!std::isfinite(scale_w) || !(scale_w > 0.0f))
        layer_fail(kOp, name, "argument 'scale_w' must be finite and positive, got " + show(scale_w));
}

Shape3 UpsampleBilinearFp32::output_shape(Shape3 in) const {
    const int64_t oh = upsampled_extent(in.h, scale_h), ow = upsampled_extent(in.w, scale_w);
    return Shape3{nonnegative(in.c), oh < 0 ? 0 : int32_t(oh), ow < 0 ? 0 : int32_t(ow)};
}

Shape3 UpsampleBilinearFp32::forward(const TensorView* inputs, int num_inputs,
                                     const BufferView* output, ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    const Shape3 in = inputs[0].shape();
    const int64_t oh = upsampled_extent(in.h, scale_h), ow = upsampled_extent(in.w, scale_w);
    if (oh < 0 || ow < 0)
        layer_fail(kOp, name, "output extent of input " + std::to_string(in.h) + " x " +
                                  std::to_string(in.w) + " scaled by " + show(scale_h) + " x " +
                                  show(scale_w) + " does not fit 32 bits");
    require_input_holds(kOp, name, inputs, 0, 4);
    const Shape3 out{nonnegative(in.c), int32_t(oh), int32_t(ow)};
    const int64_t n = checked_elements(kOp, name, "output", out.c, out.h, out.w, 4);
    require_output_extent(kOp, name, output, n, 4);
    if (!be.k_upsample_bilinear_f32)
        layer_fail(kOp, name, "the active backend has no k_upsample_bilinear_f32 kernel");
    if (n > 0)
        be.k_upsample_bilinear_f32(static_cast<const float*>(inputs[0].data),
                                   static_cast<float*>(output->data), out.c, nonnegative(in.h),
                                   nonnegative(in.w), out.h, out.w, ctx ? ctx->stream : nullptr);
    return out;
}

std::unique_ptr<ILayer> create_upsample_bilinear_fp32(const LayerInit& in) {
    return std::make_unique<UpsampleBilinearFp32>(in.name, in.args.f("scale_h"), in.args.f("scale_w"));
}

}  // namespace vantrel
