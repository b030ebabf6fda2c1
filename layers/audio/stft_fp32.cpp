#include "layers/audio/stft_fp32.h"

#include "kernels/audio/stft_f32.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "stft_fp32";
}

StftFp32::StftFp32(const std::string& node_name, int32_t n_fft_, int32_t hop_size_)
    : n_fft(n_fft_), hop_size(hop_size_) {
    name = node_name;
    require_arg_at_least(kOp, name, "n_fft", n_fft, 2);
    if (n_fft % 2 != 0) layer_fail(kOp, name, "argument 'n_fft' must be even, got " + std::to_string(n_fft));
    require_arg_at_least(kOp, name, "hop_size", hop_size, 1);
}

void StftFp32::load_weights(const WeightFetch& fetch) {
    const int64_t count = (int64_t(n_fft) / 2 + 1) * n_fft;
    const WeightFetch non_empty = [&fetch](const std::string& n, std::vector<int>& shape,
                                           std::vector<uint8_t>& bytes, uint64_t max_bytes) {
        return fetch(n, shape, bytes, max_bytes) && !bytes.empty();
    };
    w_re.clear();
    w_im.clear();
    fetch_f32_tensor(kOp, name, non_empty, name + ".w_real", count, false, w_re);
    fetch_f32_tensor(kOp, name, non_empty, name + ".w_imag", count, false, w_im);
}

Shape3 StftFp32::output_shape(Shape3 in) const {
    const int64_t s = int64_t(in.h < 0 ? 0 : in.h) * (in.w < 0 ? 0 : in.w);
    const int64_t frames = s / hop_size + 1;
    return Shape3{n_fft + 2, int32_t(frames > INT32_MAX ? INT32_MAX : frames), 1};
}

Shape3 StftFp32::output_shape_from_data(const void* const*, const Shape3* inputs, int count) const {
    return count > 0 ? output_shape(inputs[0]) : Shape3{0, 0, 0};
}

Shape3 StftFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                         ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    const TensorView& x = inputs[0];
    const int64_t s = int64_t(x.h < 0 ? 0 : x.h) * (x.w < 0 ? 0 : x.w);
    if (s == 0) layer_fail(kOp, name, "the input signal is empty");
    const int32_t samples = checked_int32_count(kOp, name, s);
    require_view_holds(kOp, name, "input 0", x.bytes, s, 4);
    const int64_t frames = s / hop_size + 1, N = n_fft, F = N / 2 + 1;
    require_output_extent(kOp, name, output, frames * 2 * F, 4);
    const Shape3 os{n_fft + 2, int32_t(frames), 1};
    const float* in = static_cast<const float*>(x.data);
    float* out = static_cast<float*>(output->data);

    const bool loaded = !w_re.empty() && !w_im.empty();
    if (x.on_device == 3 && be.k_stft_f32 && loaded) {
        be.k_stft_f32(in, w_re.data(), w_im.data(), out, samples, int32_t(frames), n_fft, hop_size,
                      ctx ? ctx->stream : nullptr);
        return os;
    }
    std::vector<float> built_re, built_im;
    const float *re = w_re.data(), *im = w_im.data();
    if (!loaded) {
        built_re.resize(size_t(F * N));
        built_im.resize(size_t(F * N));
        stft_hann_basis_f32(n_fft, built_re.data(), built_im.data());
        re = built_re.data();
        im = built_im.data();
    }
    // The last frame starts at most at s and reads up to padded sample s + N - 1.
    std::vector<float> padded(static_cast<size_t>(s + N));
    stft_pad_edges_f32(in, s, n_fft / 2, padded.data());
    stft_f32(padded.data(), frames, hop_size, re, im, n_fft, out);
    return os;
}

std::unique_ptr<ILayer> create_stft_fp32(const LayerInit& in) {
    return std::make_unique<StftFp32>(in.name, in.args.i("n_fft"), in.args.i("hop_size"));
}

}  // namespace vantrel
