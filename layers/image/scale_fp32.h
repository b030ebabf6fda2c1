// Multiplication of a float tensor by a constant.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class ScaleFp32 final : public ShapeKeeping<Fp32Layer> {
public:
    explicit ScaleFp32(float scalar_) : scalar(scalar_) {}

    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    float scalar;
};

}  // namespace vantrel
