// Nearest upsampling ("upsample_nearest1d_fp32"): each of the N = L*W rows
// of x {C, L, W} is written scale_factor times in a row.
#pragma once
#include <string>

#include "layers/common/layer_base.h"

namespace vantrel {

class UpsampleNearest1dFp32 final : public Fp32Layer {
public:
    // Throws when scale_factor is below 1.
    UpsampleNearest1dFp32(const std::string& node_name, int32_t scale_factor);

    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // {C, L*scale_factor, W}, the length saturated to the int32 range.
    Shape3 output_shape(Shape3 input) const override;

    int32_t scale_factor;
};

}  // namespace vantrel
