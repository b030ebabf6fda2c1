// The float activations, chosen by the node's op: 0 leaky ReLU (slope
// alpha below 0), 1 exp, 2 sin, 3 sigmoid, 4 tanh, 5 GELU (tanh form),
// 6 SiLU, 7 clamp to [lo, hi], 8 hard swish, 9 hard sigmoid, 10 GELU (erf
// form).
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class ActivationFp32 final : public ShapeKeeping<Fp32Layer> {
public:
    ActivationFp32(int32_t kind_, float alpha_, float lo_ = 0.0f, float hi_ = 6.0f)
        : kind(kind_), alpha(alpha_), lo(lo_), hi(hi_) {}

    // Any other kind writes nothing and returns the input shape.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    bool pixelwise() const override { return true; }

    int32_t kind;
    float alpha;
    float lo, hi;  // clamp bounds
};

}  // namespace vantrel
