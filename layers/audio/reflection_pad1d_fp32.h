// Reflection padding ("reflection_pad1d_fp32"): the N = L*W rows of
// x {C, L, W} get one row in front that mirrors row 1, giving {C, N + 1, 1}
// (b, a, b, c from a, b, c). N must be at least 2.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class ReflectionPad1dFp32 final : public HostOnKinds1And2<Fp32Layer> {
public:
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // {C, L*W + 1, 1}, saturated to the int32 range.
    Shape3 output_shape(Shape3 input) const override;
    Shape3 output_shape_from_data(const void* const* /*input_data*/, const Shape3* inputs,
                                  int count) const override {
        return count > 0 ? output_shape(inputs[0]) : Shape3{0, 0, 0};
    }
};

}  // namespace vantrel
