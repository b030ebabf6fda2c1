// Int8 table lookup ("lut_int8"): y = table[x + 128] with the 256-entry int8
// ".table" built at conversion from the input and output quantisation (hard
// swish, hard sigmoid, sigmoid, SiLU, GELU, a clamp...). The output keeps
// the input's shape.
#pragma once
#include <vector>

#include "layers/common/layer_base.h"

namespace vantrel {

class LutInt8 final : public ShapeKeeping<Int8Layer> {
public:
    using ShapeKeeping<Int8Layer>::ShapeKeeping;
    // Requires ".table" of exactly 256 int8 values.
    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    std::vector<int8_t> table;
};

}  // namespace vantrel
