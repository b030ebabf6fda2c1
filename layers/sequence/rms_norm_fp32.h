// RMS normalisation of every row over its c features ("rms_norm_fp32").
#pragma once
#include <string>
#include <vector>

#include "layers/common/layer_base.h"

namespace vantrel {

class RmsNormFp32 final : public ShapeKeeping<Fp32Layer> {
public:
    RmsNormFp32(const std::string& node_name, float eps_);

    // Needs a non-empty ".gamma"; the input width is checked against it in
    // forward.
    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    float eps;
    std::vector<float> gamma;
};

}  // namespace vantrel
