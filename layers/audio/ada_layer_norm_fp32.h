// Adaptive layer normalisation ("ada_layer_norm_fp32"): each of the
// T = L*W rows of x {C, L, W} is normalised over its C channels, then
// modulated with gamma and beta projected from the style vector (input 1,
// exactly C_style floats): out = beta + (1 + gamma) * x_hat.
//
// Weights: the style projection's (style_projection.h).
#pragma once
#include <string>

#include "layers/audio/style_norm_checks.h"

namespace vantrel {

class AdaLayerNormFp32 final : public StyleNormLayer {
public:
    AdaLayerNormFp32(const std::string& node_name, int32_t C, int32_t C_style, float eps);

    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    void upload_weights(Allocator& alloc) override;
    void release_host_weights() override;
};

}  // namespace vantrel
