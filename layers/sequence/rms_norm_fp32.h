// RMS normalisation of every row over its c features ("rms_norm_fp32").
#pragma once
#include <string>
#include <vector>

#include "layers/sequence/sequence_extent.h"

namespace vantrel {

class RmsNormFp32 final : public RowNormLayer {
public:
    using RowNormLayer::RowNormLayer;  // (node_name, eps)
    bool pixelwise() const override { return true; }

    // Needs a non-empty ".gamma"; the input width is checked against it in
    // forward.
    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

};

}  // namespace vantrel
