// Channel slice of a time-major signal ("slice_channels_fp32"): channels
// [ch_start, ch_end) of every row of x {C, L, W}, packed into
// {ch_end - ch_start, L*W, 1}.
#pragma once
#include <string>

#include "layers/common/layer_base.h"

namespace vantrel {

class SliceChannelsFp32 final : public Fp32Layer {
public:
    // Throws when ch_start is negative or ch_end is below ch_start.
    SliceChannelsFp32(const std::string& node_name, int32_t ch_start, int32_t ch_end);

    // Refuses an input with fewer than ch_end channels.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override {
        return Shape3{ch_end - ch_start, input.h, input.w};
    }

    int32_t ch_start, ch_end;
};

}  // namespace vantrel
