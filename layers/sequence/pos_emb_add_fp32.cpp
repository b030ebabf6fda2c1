#include "layers/sequence/pos_emb_add_fp32.h"

#include "layers/common/layer_checks.h"
#include "layers/sequence/fetch_f32_table.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "pos_emb_add_fp32";
}

void PosEmbAddFp32::load_weights(const WeightFetch& fetch) {
    if (!fetch) return;
    std::vector<float> w;
    fetch_f32_table(kOp, name, fetch, name + ".weight", 1, true, w);
    weight = std::move(w);
}

Shape3 PosEmbAddFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                              ExecContext* /*ctx*/) {
    active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    if (weight.empty()) layer_fail(kOp, name, "weights are not loaded");
    const TensorView& x = inputs[0];
    require_input_extent(kOp, name, inputs, 0, 4);
    const int64_t n = element_count(x.shape());
    if (n == 0) return x.shape();
    const int64_t table = int64_t(weight.size());
    if (table % x.c != 0)
        layer_fail(kOp, name, "input has " + std::to_string(x.c) + " features, which do not divide the " +
                                  std::to_string(table) + " values of '" + name + ".weight' into rows");
    if (n > table)
        layer_fail(kOp, name, "input of " + std::to_string(n / x.c) + " positions is longer than the " +
                                  std::to_string(table / x.c) + " rows of '" + name + ".weight'");
    require_output_extent(kOp, name, output, n, 4);
    const float* in = static_cast<const float*>(x.data);
    float* out = static_cast<float*>(output->data);
    // Element by element, so sharing the input's buffer is fine.
    for (int64_t i = 0; i < n; ++i) out[i] = in[i] + weight[size_t(i)];
    return x.shape();
}

std::unique_ptr<ILayer> create_pos_emb_add_fp32(const LayerInit&) {
    return std::make_unique<PosEmbAddFp32>();
}

}  // namespace vantrel
