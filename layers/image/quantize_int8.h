// Boundaries between the float32 and int8 parts of a model:
// "quantize_int8" y = clamp(round_half_even(x / scale) + zp, -128, 127) (NaN
// gives zp) and "dequantize_int8" y = (q - zp) * scale. Both keep the shape.
#pragma once
#include <string>

#include "layers/common/layer_base.h"

namespace vantrel {

// Throws when scale is not finite and positive or zp is outside [-128, 127].
void require_quant_params(const char* op, const std::string& node, float scale, int32_t zp);

class QuantizeInt8 final : public ShapeKeeping<Int8Layer> {
public:
    QuantizeInt8(const std::string& node_name, float scale, int32_t zp);
    int input_dtype() const override { return kDtypeFp32; }
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    float scale;
    int32_t zp;
};

class DequantizeInt8 final : public ShapeKeeping<Fp32Layer> {
public:
    DequantizeInt8(const std::string& node_name, float scale, int32_t zp);
    int input_dtype() const override { return kDtypeInt8; }
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    float scale;
    int32_t zp;
};

}  // namespace vantrel
