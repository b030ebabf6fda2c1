// Layer normalisation of every row over its c features ("layernorm_fp32").
#pragma once
#include <string>
#include <vector>

#include "layers/sequence/sequence_extent.h"

namespace vantrel {

class LayerNormFp32 final : public RowNormLayer {
public:
    using RowNormLayer::RowNormLayer;  // (node_name, eps)
    bool pixelwise() const override { return true; }

    // Needs ".gamma" and ".beta", of equal non-zero length; the input width
    // is checked against it in forward.
    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    std::vector<float> beta;
};

}  // namespace vantrel
