// Channel concatenation of time-major signals ("concat1d_fp32"): a {C1, L, W}
// and b {C2, L, W} give {C1 + C2, L, W}. A b of one row is repeated on every
// row (a conditioning vector over a sequence). With C2 = 0 the layer may have
// a single input and copies a.
#pragma once
#include <string>

#include "layers/common/layer_base.h"

namespace vantrel {

class Concat1dFp32 final : public Fp32Layer {
public:
    // Throws when C2 is negative.
    Concat1dFp32(const std::string& node_name, int32_t C2);

    // Refuses a single input when C2 > 0, a b whose channel count is not C2,
    // and a b whose row count is neither a's nor 1.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override;

    int32_t C2;
};

}  // namespace vantrel
