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
    // Empty affine weights are passed as null.
    auto host_or_null = [](const std::vector<float>& v) { return v.empty() ? nullptr : v.data(); };
    auto device_or_null = [](const Buffer& d) { return d.empty() ? nullptr : static_cast<const float*>(d.data); };
    return style_norm_forward(
        kOp, &Backend::k_ada_in1d_f32, KAdaIn1dF32(&k_ada_in1d_f32), inputs, num_inputs, output, ctx,
        [&](KAdaIn1dF32 k, const float* x, float* out, const float* h, int32_t t, void* stream, bool on_device) {
            const float* w = on_device ? device_or_null(device_norm_w_) : host_or_null(norm_weight);
            const float* b = on_device ? device_or_null(device_norm_b_) : host_or_null(norm_bias);
            k(x, out, h, h + C, t, C, stream, w, eps, b);
        });
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
