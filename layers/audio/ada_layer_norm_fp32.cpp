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
    return style_norm_forward(kOp, &Backend::k_ada_layer_norm_f32, KAdaLayerNormF32(&k_ada_layer_norm_f32), inputs,
                              num_inputs, output, ctx,
                              [&](KAdaLayerNormF32 k, const float* x, float* out, const float* h, int32_t t,
                                  void* stream, bool) { k(x, out, h, h + C, t, C, stream, eps); });
}

void AdaLayerNormFp32::upload_weights(Allocator& alloc) { fc.upload(alloc); }

void AdaLayerNormFp32::release_host_weights() { fc.release_host(); }

std::unique_ptr<ILayer> create_ada_layer_norm_fp32(const LayerInit& in) {
    return std::make_unique<AdaLayerNormFp32>(in.name, in.args.i("C"), in.args.i("C_style"), in.args.f("eps"));
}

}  // namespace vantrel
