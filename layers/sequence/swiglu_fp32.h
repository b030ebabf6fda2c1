// Gated SiLU of a packed product ("swiglu_fp32"): each input row holds the
// gate half then the up half, 2F values; the output row is silu(gate) * up,
// F values. It stands for silu_fp32 on the gate and elemwise_mul_fp32 with
// the up rows, so that one product can compute both halves.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class SwigluFp32 final : public Fp32Layer {
public:
    using Fp32Layer::Fp32Layer;
    bool pixelwise() const override { return true; }
    Shape3 output_shape(Shape3 input) const override { return Shape3{input.c / 2, input.h, input.w}; }
    // Refuses an odd row width.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
};

}  // namespace vantrel
