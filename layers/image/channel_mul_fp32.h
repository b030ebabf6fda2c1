// Per-channel scaling of an image ("channel_mul_fp32"): x {C, H, W} times a
// vector s of C factors, y(y, x, ch) = x(y, x, ch) * s[ch] (the excitation
// step of squeeze-and-excitation blocks). The output has x's shape.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class ChannelMulFp32 final : public FirstInputShape<Fp32Layer> {
public:
    // Refuses a single input and an s whose element count is not x's C.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
};

}  // namespace vantrel
