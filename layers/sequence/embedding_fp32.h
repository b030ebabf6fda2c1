// Token embedding lookup ("embedding_fp32"): one float id per position picks
// a row of the [vocab][dim] table.
#pragma once
#include <string>
#include <vector>

#include "layers/common/layer_base.h"

namespace vantrel {

class EmbeddingFp32 final : public HostOnly<Fp32Layer> {
public:
    // Throws when num_embeddings or embedding_dim is below 1.
    EmbeddingFp32(const std::string& node_name, int32_t num_embeddings, int32_t embedding_dim);

    // Needs ".weight" of exactly vocab*dim floats.
    void load_weights(const WeightFetch& fetch) override;
    // Ids are truncated toward zero and clamped to [0, vocab); a NaN id has
    // no row and is refused.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override { return Shape3{dim, input.h, input.w}; }

    int32_t vocab, dim;
    std::vector<float> weight;  // [vocab][dim]
};

}  // namespace vantrel
