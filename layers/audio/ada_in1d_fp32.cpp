#include "layers/audio/ada_in1d_fp32.h"

#include "kernels/norm/ada_in1d_f32.h"
#include "layers/audio/style_norm_checks.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/layer_buffers.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "ada_in1d_fp32";
}

AdaIn1dFp32::AdaIn1dFp32(const std::string& node_name, int32_t C_, int32_t C_style_, float eps_)
    : StyleNormLayer(kOp, node_name, C_, C_style_, eps_) {}

void AdaIn1dFp32::load_weights(const WeightFetch& fetch) {
    fc.load(kOp, name, fetch, C, C_style);
    std::vector<float> w, b;
    fetch_f32_tensor(kOp, name, fetch, name + ".norm.weight", C, false, w);
    fetch_f32_tensor(kOp, name, fetch, name + ".norm.bias", C, false, b);
    norm_weight = std::move(w);
    norm_bias = std::move(b);
    device_norm_w_ = Buffer();
    device_norm_b_ = Buffer();
}

Shape3 AdaIn1dFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                            ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const int32_t t = check_style_norm_inputs(kOp, name, inputs, num_inputs, output, C, C_style, fc.loaded());
    const TensorView& x = inputs[0];
    const float* style = static_cast<const float*>(inputs[1].data);
    float* out = static_cast<float*>(output->data);
    void* stream = stream_of(ctx);
    if (t == 0) return x.shape();
    if (x.on_device != 0) {
        if (!fc.on_device() || !be.k_linear_f32 || !be.k_ada_in1d_f32)
            layer_fail(kOp, name, "device input without device weights and kernels");
        const float* h = fc.project_on_device(be, style, stream);
        be.k_ada_in1d_f32(static_cast<const float*>(x.data), out, h, h + C, t, C, stream,
                          device_norm_w_.empty() ? nullptr : static_cast<const float*>(device_norm_w_.data),
                          eps,
                          device_norm_b_.empty() ? nullptr : static_cast<const float*>(device_norm_b_.data));
        return x.shape();
    }
    const float* h = fc.project(be, style, stream);
    KAdaIn1dF32 k = be.k_ada_in1d_f32 ? be.k_ada_in1d_f32 : &k_ada_in1d_f32;
    k(static_cast<const float*>(x.data), out, h, h + C, t, C, stream,
      norm_weight.empty() ? nullptr : norm_weight.data(), eps, norm_bias.empty() ? nullptr : norm_bias.data());
    return x.shape();
}

void AdaIn1dFp32::upload_weights(Allocator& alloc) {
    if (!alloc.is_device()) return;
    fc.upload(alloc);
    device_norm_w_ = device_copy(alloc, norm_weight);
    device_norm_b_ = device_copy(alloc, norm_bias);
}

void AdaIn1dFp32::release_host_weights() { fc.release_host(); }

std::unique_ptr<ILayer> create_ada_in1d_fp32(const LayerInit& in) {
    return std::make_unique<AdaIn1dFp32>(in.name, in.args.i("C"), in.args.i("C_style"), in.args.f("eps"));
}

}  // namespace vantrel
