// The seven float activations, chosen by the node's op: 0 leaky ReLU
// (slope alpha below 0), 1 exp, 2 sin, 3 sigmoid, 4 tanh, 5 GELU (tanh
// form), 6 SiLU.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class ActivationFp32 final : public ShapeKeeping<Fp32Layer> {
public:
    ActivationFp32(int32_t kind_, float alpha_) : kind(kind_), alpha(alpha_) {}

    // Any other kind writes nothing and returns the input shape.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    int32_t kind;
    float alpha;
};

}  // namespace vantrel
