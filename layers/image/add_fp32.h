// Element-wise sum of two float tensors of the same element count, with the
// node's fused ReLU.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class AddFp32 final : public ShapeKeeping<Fp32Layer> {
public:
    bool pixelwise() const override { return true; }
    // Nodes with a single input are refused in forward: there is no second
    // operand to add.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
};

}  // namespace vantrel
