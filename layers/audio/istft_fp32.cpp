#include "layers/audio/istft_fp32.h"

#include "kernels/audio/istft_f32.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "istft_fp32";

int64_t frames_of(const TensorView& v) { return int64_t(v.h < 0 ? 0 : v.h) * (v.w < 0 ? 0 : v.w); }
}  // namespace

IstftFp32::IstftFp32(const std::string& node_name, int32_t n_fft_, int32_t hop_size_, bool normalized_)
    : n_fft(n_fft_), hop_size(hop_size_), normalized(normalized_) {
    name = node_name;
    require_arg_at_least(kOp, name, "n_fft", n_fft, 2);
    if (n_fft % 2 != 0) layer_fail(kOp, name, "argument 'n_fft' must be even, got " + std::to_string(n_fft));
    require_arg_at_least(kOp, name, "hop_size", hop_size, 1);
}

Shape3 IstftFp32::output_shape(Shape3 in) const {
    const int64_t t = int64_t(in.h < 0 ? 0 : in.h) * (in.w < 0 ? 0 : in.w);
    // Beyond 32 bits the length saturates; t - 1 is capped first so the
    // product stays within 64 bits.
    const int64_t steps = t - 1 > INT32_MAX ? INT32_MAX : t - 1;
    int64_t m = n_fft + steps * hop_size;
    m = m < 0 ? 0 : (m > INT32_MAX ? INT32_MAX : m);
    return Shape3{1, int32_t(m), 1};
}

Shape3 IstftFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                          ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 2);
    const int32_t F = n_fft / 2 + 1;
    for (int i = 0; i < 2; ++i)
        if (inputs[i].c != F)
            layer_fail(kOp, name, std::string(i ? "phase" : "magnitude") + " input has " +
                                      std::to_string(inputs[i].c) + " channels, expected n_fft/2 + 1 = " +
                                      std::to_string(F));
    const int64_t t = frames_of(inputs[0]);
    if (frames_of(inputs[1]) != t)
        layer_fail(kOp, name, "phase input has " + std::to_string(frames_of(inputs[1])) +
                                  " frames, the magnitudes have " + std::to_string(t));
    const int32_t frames = checked_int32_count(kOp, name, t);
    require_input_extent(kOp, name, inputs, 0, 4);
    require_input_extent(kOp, name, inputs, 1, 4);
    const int64_t len = t < 1 ? 0 : (t - 1) * hop_size;
    const int32_t n_out = checked_int32_count(kOp, name, len);
    require_output_extent(kOp, name, output, len, 4);
    const Shape3 os{1, n_out, 1};
    if (len == 0) return os;  // one frame lies wholly in the trimmed edges
    const float* mag = static_cast<const float*>(inputs[0].data);
    const float* ph = static_cast<const float*>(inputs[1].data);
    float* out = static_cast<float*>(output->data);
    if (inputs[0].on_device == 3 && be.k_istft_f32) {
        be.k_istft_f32(mag, ph, out, frames, n_fft, hop_size, normalized, ctx ? ctx->stream : nullptr);
        return os;
    }
    istft_f32(mag, ph, t, n_fft, hop_size, normalized, out);
    return os;
}

std::unique_ptr<ILayer> create_istft_fp32(const LayerInit& in) {
    return std::make_unique<IstftFp32>(in.name, in.args.i("n_fft"), in.args.i("hop_size"), in.args.b("normalized"));
}

}  // namespace vantrel
