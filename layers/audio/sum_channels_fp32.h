// Sum over the channels of every row of a time-major signal
// ("sum_channels_fp32"): x {C, L, W} gives {1, L*W, 1}.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class SumChannelsFp32 final : public Fp32Layer {
public:
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override { return Shape3{1, input.h, input.w}; }
};

}  // namespace vantrel
