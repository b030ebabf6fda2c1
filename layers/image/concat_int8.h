// Int8 channel concatenation of 2..8 images ("concat_int8"): inputs {C_i, H,
// W} of equal H and W give {sum of C_i, H, W}, channels in input order. The
// optional int8 ".tables" holds one 256-entry table per input that
// requantises it to the output's scale and zero point; an input whose table
// is the identity, or every input when there is no ".tables", is copied.
#pragma once
#include <vector>

#include "layers/common/layer_base.h"

namespace vantrel {

class ConcatInt8 final : public Int8Layer {
public:
    using Int8Layer::Int8Layer;
    // ".tables", when present, must hold a whole number (at most 8) of
    // 256-entry tables; forward requires one per input.
    void load_weights(const WeightFetch& fetch) override;
    // Refuses fewer than 2 or more than 8 inputs and inputs whose h or w
    // differ from input 0's.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override { return input; }
    // Channel counts summed (saturating at INT32_MAX; forward refuses such
    // a tensor), h and w of input 0.
    Shape3 output_shape_multi(const Shape3* inputs, int count) const override;

    std::vector<int8_t> tables;  // [inputs][256], or empty
    std::vector<bool> identity;  // per table
};

}  // namespace vantrel
