// Element-wise sum of two float tensors of the same element count, with the
// node's fused ReLU.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class AddFp32 final : public ShapeKeeping<Fp32Layer> {
public:
    // Nodes with a single input are refused in forward: there is no second
    // operand to add.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // Pixel by pixel only for operands of one shape (input 1 is read flat
    // with input 0's count); the executor stacks it only then.
    bool pixelwise() const override { return true; }
};

}  // namespace vantrel
