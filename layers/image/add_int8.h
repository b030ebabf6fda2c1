// Requantising sum of two int8 tensors of the same element count.
#pragma once
#include <string>

#include "layers/common/layer_base.h"

namespace vantrel {

class AddInt8 final : public ShapeKeeping<Int8Layer> {
public:
    // Throws when out_scale is not finite and positive or an input scale is
    // not finite: the kernel divides by out_scale and scales by the ratios.
    AddInt8(const std::string& node_name, float in1_scale, float in2_scale, float out_scale,
            int32_t in1_zp, int32_t in2_zp, int32_t out_zp);

    // Nodes with a single input are refused: there is no second operand.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    float in1_scale, in2_scale, out_scale;
    int32_t in1_zp, in2_zp, out_zp;
};

}  // namespace vantrel
