#include "layers/audio/sine_gen_fp32.h"

#include <cmath>

#include "kernels/audio/sine_gen_f32.h"
#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "sine_gen_fp32";

void require_finite(const std::string& node, const char* key, float v) {
    if (!std::isfinite(v))
        layer_fail(kOp, node, std::string("argument '") + key + "' must be finite, got " + std::to_string(v));
}
}  // namespace

SineGenFp32::SineGenFp32(const std::string& node_name, int32_t sample_rate_, int32_t harmonic_num_,
                         float sine_amp_, float voiced_threshold_, float noise_std_, int32_t upsample_scale_)
    : sample_rate(sample_rate_), harmonic_num(harmonic_num_), sine_amp(sine_amp_),
      voiced_threshold(voiced_threshold_), noise_std(noise_std_), upsample_scale(upsample_scale_) {
    name = node_name;
    require_arg_at_least(kOp, name, "sample_rate", sample_rate, 1);
    require_arg_at_least(kOp, name, "harmonic_num", harmonic_num, 0);
    if (harmonic_num == INT32_MAX) layer_fail(kOp, name, "argument 'harmonic_num' is too large");
    require_arg_at_least(kOp, name, "upsample_scale", upsample_scale, 0);
    require_finite(name, "sine_amp", sine_amp);
    require_finite(name, "noise_std", noise_std);
}

Shape3 SineGenFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                            ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    const TensorView& x = inputs[0];
    const int64_t h = int64_t(harmonic_num) + 1;
    const int64_t t = checked_elements(kOp, name, "input 0", 1, x.h, x.w, 4);
    checked_int32_count(kOp, name, t);
    require_view_holds(kOp, name, "input 0", x.bytes, t, 4);
    const int64_t n = checked_elements(kOp, name, "output", h, x.h, x.w, 4);
    checked_int32_count(kOp, name, n);
    require_output_extent(kOp, name, output, n, 4);
    const Shape3 os{int32_t(h), x.h, x.w};
    const float* f0 = static_cast<const float*>(x.data);
    float* out = static_cast<float*>(output->data);
    if (upsample_scale >= 1 && t > 0 && t < upsample_scale)
        layer_fail(kOp, name, "input of " + std::to_string(t) + " samples is shorter than one upsampling step (" +
                                  std::to_string(upsample_scale) + " samples)");
    if (x.on_device == 3 && upsample_scale > 0 && be.k_sine_gen_f32) {
        be.k_sine_gen_f32(f0, out, int32_t(t), int32_t(h), sample_rate, upsample_scale, ctx ? ctx->stream : nullptr,
                          sine_amp, voiced_threshold);
        return os;
    }
    if (t == 0) return os;
    if (upsample_scale >= 1)
        sine_gen_f32_upsampled(f0, out, t, int32_t(h), sample_rate, upsample_scale, sine_amp, voiced_threshold);
    else
        sine_gen_f32_direct(f0, out, t, int32_t(h), sample_rate, sine_amp, voiced_threshold, noise_std);
    return os;
}

std::unique_ptr<ILayer> create_sine_gen_fp32(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<SineGenFp32>(in.name, a.i("sample_rate"), a.i("harmonic_num"), a.f("sine_amp"),
                                         a.f("voiced_threshold"), a.f("noise_std"), a.i("upsample_scale"));
}

}  // namespace vantrel
