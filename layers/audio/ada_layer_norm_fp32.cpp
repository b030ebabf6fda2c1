#include "layers/audio/ada_layer_norm_fp32.h"

#include "kernels/norm/ada_layer_norm_f32.h"
#include "layers/audio/style_norm_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "ada_layer_norm_fp32";
}

AdaLayerNormFp32::AdaLayerNormFp32(const std::string& node_name, int32_t C_, int32_t C_style_, float eps_)
    : StyleNormLayer(kOp, node_name, C_, C_style_, eps_) {}

void AdaLayerNormFp32::load_weights(const WeightFetch& fetch) { fc.load(kOp, name, fetch, C, C_style); }

Shape3 AdaLayerNormFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                 ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const int32_t t = check_style_norm_inputs(kOp, name, inputs, num_inputs, output, C, C_style, fc.loaded());
    const TensorView& x = inputs[0];
    const float* style = static_cast<const float*>(inputs[1].data);
    float* out = static_cast<float*>(output->data);
    void* stream = stream_of(ctx);
    if (t == 0) return x.shape();
    if (x.on_device != 0) {
        if (!fc.on_device() || !be.k_linear_f32 || !be.k_ada_layer_norm_f32)
            layer_fail(kOp, name, "device input without device weights and kernels");
        const float* h = fc.project_on_device(be, style, stream);
        be.k_ada_layer_norm_f32(static_cast<const float*>(x.data), out, h, h + C, t, C, stream, eps);
        return x.shape();
    }
    const float* h = fc.project(be, style, stream);
    KAdaLayerNormF32 k = be.k_ada_layer_norm_f32 ? be.k_ada_layer_norm_f32 : &k_ada_layer_norm_f32;
    k(static_cast<const float*>(x.data), out, h, h + C, t, C, stream, eps);
    return x.shape();
}

void AdaLayerNormFp32::upload_weights(Allocator& alloc) { fc.upload(alloc); }

void AdaLayerNormFp32::release_host_weights() { fc.release_host(); }

std::unique_ptr<ILayer> create_ada_layer_norm_fp32(const LayerInit& in) {
    return std::make_unique<AdaLayerNormFp32>(in.name, in.args.i("C"), in.args.i("C_style"), in.args.f("eps"));
}

}  // namespace vantrel
