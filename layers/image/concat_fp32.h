// Channel concatenation of 2..8 images ("concat_fp32"): inputs {C_i, H, W}
// of equal H and W give {sum of C_i, H, W}, channels in input order.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class ConcatFp32 final : public Fp32Layer {
public:
    // Refuses fewer than 2 or more than 8 inputs and inputs whose h or w
    // differ from input 0's.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override { return input; }
    // Channel counts summed (saturating at INT32_MAX; forward refuses such
    // a tensor), h and w of input 0.
    Shape3 output_shape_multi(const Shape3* inputs, int count) const override;
};

}  // namespace vantrel
