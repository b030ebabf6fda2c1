// Multiplication of a float tensor by a constant.
#pragma once
#include "engine/layer.h"

namespace vantrel {

class ScaleFp32 final : public ILayer {
public:
    explicit ScaleFp32(float scalar_) : scalar(scalar_) {}

    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    int dtype() const override { return kDtypeFp32; }
    Shape3 output_shape(Shape3 input) const override { return input; }

    float scalar;
};

}  // namespace vantrel
