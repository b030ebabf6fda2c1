// Element-wise product of two float tensors of the same element count
// ("elemwise_mul_fp32"); the output has the first input's shape.
#pragma once
#include "engine/layer.h"

namespace vantrel {

class ElemwiseMulFp32 final : public ILayer {
public:
    // Refuses a single input and inputs whose element counts differ.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    int dtype() const override { return kDtypeFp32; }
    Shape3 output_shape(Shape3 input) const override { return input; }
    Shape3 output_shape_multi(const Shape3* inputs, int count) const override {
        return count <= 0 ? Shape3{0, 0, 0} : inputs[0];
    }
};

}  // namespace vantrel
