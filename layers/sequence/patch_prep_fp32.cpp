#include "layers/sequence/patch_prep_fp32.h"

#include "layers/common/layer_checks.h"
#include "layers/sequence/fetch_f32_table.h"
#include "layers/sequence/sequence_extent.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "patch_prep_fp32";
}

void PatchPrepFp32::load_weights(const WeightFetch& fetch) {
    if (!fetch) return;
    std::vector<float> cls, pe;
    fetch_f32_table(kOp, name, fetch, name + ".cls_token", 1, true, cls);
    fetch_f32_table(kOp, name, fetch, name + ".pos_embed", int64_t(cls.size()), true, pe);
    cls_token = std::move(cls);
    pos_embed = std::move(pe);
}

Shape3 PatchPrepFp32::output_shape(Shape3 in) const {
    const int64_t tokens = int64_t(in.h < 0 ? 0 : in.h) * int64_t(in.w < 0 ? 0 : in.w) + 1;
    return Shape3{in.c, int32_t(tokens > INT32_MAX ? INT32_MAX : tokens), 1};
}

Shape3 PatchPrepFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                              ExecContext* /*ctx*/) {
    active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    if (cls_token.empty()) layer_fail(kOp, name, "weights are not loaded");
    const TensorView& x = inputs[0];
    const int64_t E = int64_t(cls_token.size());
    if (int64_t(x.c) != E)
        layer_fail(kOp, name, "input has " + std::to_string(x.c) + " features, '" + name +
                                  ".cls_token' holds " + std::to_string(E));
    require_input_extent(kOp, name, inputs, 0, 4);
    const int64_t P = token_count(x);
    const int64_t rows = int64_t(pos_embed.size()) / E;
    if (P + 1 > rows)
        layer_fail(kOp, name, "grid of " + std::to_string(P) + " patches needs " + std::to_string(P + 1) +
                                  " rows of '" + name + ".pos_embed', which has " + std::to_string(rows));
    require_output_extent(kOp, name, output, (P + 1) * E, 4);
    const int32_t tokens = checked_int32_count(kOp, name, P + 1);

    const float* in = static_cast<const float*>(x.data);
    float* out = static_cast<float*>(output->data);
    const float* pe = pos_embed.data();
    // Last patch first, class row last: output row 1 + p lies over input row
    // p + 1, so the order stays right when the output shares the input's
    // buffer.
    for (int64_t p = P - 1; p >= 0; --p) {
        const float* src = in + p * E;
        const float* add = pe + (p + 1) * E;
        float* dst = out + (p + 1) * E;
        for (int64_t j = E - 1; j >= 0; --j) dst[j] = src[j] + add[j];
    }
    for (int64_t j = 0; j < E; ++j) out[j] = cls_token[size_t(j)] + pe[j];
    return Shape3{x.c, tokens, 1};
}

std::unique_ptr<ILayer> create_patch_prep_fp32(const LayerInit&) {
    return std::make_unique<PatchPrepFp32>();
}

}  // namespace vantrel
