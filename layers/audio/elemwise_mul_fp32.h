// Element-wise product of two float tensors of the same element count
// ("elemwise_mul_fp32"); the output has the first input's shape.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class ElemwiseMulFp32 final : public FirstInputShape<Fp32Layer> {
public:
    bool pixelwise() const override { return true; }
    // Refuses a single input and inputs whose element counts differ.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
};

}  // namespace vantrel
