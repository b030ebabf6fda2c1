// Element-wise sum of two float tensors of the same element count, with the
// node's fused ReLU.
#pragma once
#include "engine/layer.h"

namespace vantrel {

class AddFp32 final : public ILayer {
public:
    // Nodes with a single input are refused in forward: there is no second
    // operand to add.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    int dtype() const override { return kDtypeFp32; }
    Shape3 output_shape(Shape3 input) const override { return input; }
};

}  // namespace vantrel
