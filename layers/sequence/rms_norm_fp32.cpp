#include "layers/sequence/rms_norm_fp32.h"

#include "kernels/norm/rms_norm_f32.h"
#include "layers/common/backend_slot.h"
#include "layers/sequence/fetch_f32_table.h"
#include "layers/sequence/sequence_extent.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "rms_norm_fp32";
}

RmsNormFp32::RmsNormFp32(const std::string& node_name, float eps_) : eps(eps_) { name = node_name; }

void RmsNormFp32::load_weights(const WeightFetch& fetch) {
    if (!fetch) return;
    std::vector<float> g;
    fetch_f32_table(kOp, name, fetch, name + ".gamma", 1, true, g);
    gamma = std::move(g);
}

Shape3 RmsNormFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                            ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const int64_t rows = norm_layer_rows(kOp, name, inputs, num_inputs, output, gamma);
    const TensorView& x = inputs[0];
    if (rows == 0) return x.shape();
    const int32_t rows32 = checked_int32_count(kOp, name, rows);
    const KRmsNormF32 fn = slot_or_host(kOp, name, be, be.k_rms_norm_f32, &k_rms_norm_f32, "k_rms_norm_f32");
    fn(static_cast<const float*>(x.data), gamma.data(), static_cast<float*>(output->data), rows32, x.c,
       ctx ? ctx->stream : nullptr, eps);
    return x.shape();
}

std::unique_ptr<ILayer> create_rms_norm_fp32(const LayerInit& in) {
    return std::make_unique<RmsNormFp32>(in.name, in.args.f("eps"));
}

}  // namespace vantrel
