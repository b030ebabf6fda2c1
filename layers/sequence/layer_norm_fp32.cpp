#include "layers/sequence/layer_norm_fp32.h"

#include "kernels/norm/layer_norm_f32.h"
#include "layers/common/backend_slot.h"
#include "layers/sequence/fetch_f32_table.h"
#include "layers/sequence/sequence_extent.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "layernorm_fp32";
}

void LayerNormFp32::load_weights(const WeightFetch& fetch) {
    if (!fetch) return;
    std::vector<float> g, b;
    fetch_f32_table(kOp, name, fetch, name + ".gamma", 1, true, g);
    fetch_f32_table(kOp, name, fetch, name + ".beta", 1, true, b);
    if (g.size() != b.size())
        layer_fail(kOp, name, "'" + name + ".gamma' holds " + std::to_string(g.size()) + " floats but '" +
                                  name + ".beta' holds " + std::to_string(b.size()));
    gamma = std::move(g);
    beta = std::move(b);
}

Shape3 LayerNormFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                              ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const int32_t rows32 = checked_rows(kOp, inputs, num_inputs, output);
    const TensorView& x = inputs[0];
    if (rows32 == 0) return x.shape();
    const KLayerNormF32 fn = slot_or_host(kOp, name, be, be.k_layer_norm_f32, &k_layer_norm_f32, "k_layer_norm_f32");
    fn(static_cast<const float*>(x.data), gamma.data(), beta.data(), static_cast<float*>(output->data),
       rows32, x.c, stream_of(ctx), eps);
    return x.shape();
}

std::unique_ptr<ILayer> create_layernorm_fp32(const LayerInit& in) {
    return std::make_unique<LayerNormFp32>(in.name, in.args.f("eps"));
}

}  // namespace vantrel
