// Int8 per-channel scaling of an image ("channel_mul_int8", the excitation
// step of squeeze-and-excitation): x {C, H, W} times a vector s of C
// factors, each with its own scale and zero point:
//   y = requantize((x - in1_zp) * (s - in2_zp), in1_scale * in2_scale / out_scale) + out_zp.
// The output has x's shape.
#pragma once
#include <string>

#include "layers/common/layer_base.h"

namespace vantrel {

class ChannelMulInt8 final : public FirstInputShape<Int8Layer> {
public:
    // Throws when out_scale is not finite and positive or an input scale is
    // not finite.
    ChannelMulInt8(const std::string& node_name, float in1_scale, float in2_scale, float out_scale,
                   int32_t in1_zp, int32_t in2_zp, int32_t out_zp);
    // Refuses a single input and an s whose element count is not x's C.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    int32_t in1_zp, in2_zp, out_zp;
    int32_t multiplier, shift;
};

}  // namespace vantrel
