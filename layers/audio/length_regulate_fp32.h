// Length regulation ("length_regulate_fp32"): row i of x {C, L, W}
// (N = L*W rows) is repeated r_i times, r_i = round(scale * d_i) with halves
// away from zero, saturated to int32, and at least 1, where d_i is element i
// of the durations (input 1, exactly N floats) and scale the duration scale
// (1 / speed, set by the model). The output is {C, sum r_i, 1}; a sum beyond
// the int32 range is refused.
#pragma once
#include <cstdint>
#include <string>

#include "engine/duration_scaled.h"
#include "layers/common/layer_base.h"

namespace vantrel {

class LengthRegulateFp32 final : public HostOnly<ShapeKeeping<Fp32Layer>>, public DurationScaled {
public:
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // {C, sum r_i, 1}; {C, 0, 1} when the durations do not match the rows or
    // the sum leaves the int32 range (forward then reports why).
    Shape3 output_shape_from_data(const void* const* input_data, const Shape3* inputs,
                                  int count) const override;
    // A factor that is not a positive finite value reads as 1.
    void set_duration_scale(float factor) override;

    float duration_scale = 1.0f;

    // Repeat count of one duration under `scale`.
    static int32_t repeats(float scale, float duration);
    // Sum of the repeat counts of n durations, in 64 bits.
    static int64_t total_repeats(float scale, const float* durations, int64_t n);
};

}  // namespace vantrel
