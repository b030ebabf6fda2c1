#include "layers/sequence/rms_norm_fp32.h"

#include "kernels/rms_norm_f32.h"
#include "layers/layer_checks.h"
#include "layers/sequence/fetch_f32_table.h"

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
    require_inputs(kOp, name, num_inputs, 1);
    const TensorView& x = inputs[0];
    if (gamma.empty()) layer_fail(kOp, name, "weights are not loaded");
    if (int64_t(x.c) != int64_t(gamma.size()))
        layer_fail(kOp, name, "input has " + std::to_string(x.c) + " features, '" + name + ".gamma' holds " +
                                  std::to_string(gamma.size()));
    require_input_extent(kOp, name, inputs, 0, 4);
    const int64_t rows = int64_t(x.h < 0 ? 0 : x.h) * int64_t(x.w < 0 ? 0 : x.w);
    require_output_extent(kOp, name, output, rows * x.c, 4);
    if (rows == 0) return x.shape();
    const int32_t rows32 = checked_int32_count(kOp, name, rows);
    KRmsNormF32 fn = be.k_rms_norm_f32 ? be.k_rms_norm_f32 : &k_rms_norm_f32;
    // The host kernel stands in for an empty slot only where memory is host memory.
    if (!be.k_rms_norm_f32 && be.kind != kBackendHost)
        layer_fail(kOp, name, "the active backend has no k_rms_norm_f32 kernel");
    fn(static_cast<const float*>(x.data), gamma.data(), static_cast<float*>(output->data), rows32, x.c,
       ctx ? ctx->stream : nullptr, eps);
    return x.shape();
}

}  // namespace vantrel
