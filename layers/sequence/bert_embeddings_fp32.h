// BERT-style embeddings ("bert_embeddings_fp32"): word + position + token-type
// row 0, then layer normalisation over E with eps 1e-12.
#pragma once
#include <string>
#include <vector>

#include "layers/common/layer_base.h"

namespace vantrel {

class BertEmbeddingsFp32 final : public HostOnly<Fp32Layer> {
public:
    // Throws when emb_size is below 1.
    BertEmbeddingsFp32(const std::string& node_name, int32_t emb_size);

    // Needs ".word_weight" and ".pos_weight" (whole rows of E); ".type_weight"
    // (whole rows of E, row 0 used) and ".layernorm.weight" / ".layernorm.bias"
    // (exactly E each) are optional.
    void load_weights(const WeightFetch& fetch) override;
    // Refuses ids that truncate outside [0, vocab) (NaN included) and
    // sequences longer than the position table.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override { return Shape3{E, input.h, input.w}; }

    int32_t E;
    std::vector<float> word;   // [vocab][E]
    std::vector<float> pos;    // [max positions][E]
    std::vector<float> type;   // [types][E] or empty
    std::vector<float> gamma;  // [E] or empty
    std::vector<float> beta;   // [E] or empty
};

}  // namespace vantrel
