// Adaptive float average pooling ("adaptive_avgpool_fp32") onto a fixed
// out_h x out_w grid with PyTorch's AdaptiveAvgPool2d bins: output i along an
// axis of H inputs averages [floor(i*H/out), ceil((i+1)*H/out)). A grid
// larger than the input repeats (overlapping) pixels; an empty input gives
// zeros.
#pragma once
#include <string>

#include "layers/common/layer_base.h"

namespace vantrel {

class AdaptiveAvgPoolFp32 final : public Fp32Layer {
public:
    // Throws when out_h or out_w is below 1.
    AdaptiveAvgPoolFp32(const std::string& node_name, int32_t out_h, int32_t out_w);

    Shape3 output_shape(Shape3 input) const override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    int32_t out_h, out_w;
};

}  // namespace vantrel
