// Adaptive instance normalisation ("ada_in1d_fp32"): each channel of x
// {C, L, W} (T = L*W rows) is normalised over time, optionally passed
// through the learned norm affine, then modulated with gamma and beta
// projected from the style vector (input 1, exactly C_style floats):
// out = beta + (1 + gamma) * x_hat.
//
// Weights: the style projection's (style_projection.h), plus
// "<node>.norm.weight" and "<node>.norm.bias" (C floats each, both optional;
// a weight without a bias uses a zero bias).
#pragma once
#include <string>
#include <vector>

#include "layers/audio/style_norm_checks.h"

namespace vantrel {

class AdaIn1dFp32 final : public StyleNormLayer {
public:
    // Throws when C or C_style is below 1 or eps is negative or not finite.
    AdaIn1dFp32(const std::string& node_name, int32_t C, int32_t C_style, float eps);

    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    void upload_weights(Allocator& alloc) override;
    void release_host_weights() override;

    std::vector<float> norm_weight, norm_bias;  // [C] or empty

private:
    Buffer device_norm_w_, device_norm_b_;
};

}  // namespace vantrel
