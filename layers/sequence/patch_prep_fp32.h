// Patch grid to token sequence ("patch_prep_fp32"): a leading class token,
// then one token per patch in row-major patch order, each plus its position
// embedding.
#pragma once
#include <string>
#include <vector>

#include "layers/common/layer_base.h"

namespace vantrel {

class PatchPrepFp32 final : public HostOnly<Fp32Layer> {
public:
    // Needs ".cls_token" (its length is the embedding width E) and
    // ".pos_embed" (whole rows of E).
    void load_weights(const WeightFetch& fetch) override;
    // Refuses an input whose width is not E and grids of more patches than
    // the position table has rows after the class row.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // {c, h*w + 1, 1}; the token count saturates at the int32 range.
    Shape3 output_shape(Shape3 input) const override;

    int32_t embed_dim = 0;  // no factory argument: the input's c is used
    std::vector<float> cls_token;  // [E]
    std::vector<float> pos_embed;  // [P + 1][E]
};

}  // namespace vantrel
