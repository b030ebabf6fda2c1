// Channel shuffle of an image ("channel_shuffle_int8", ShuffleNet): the C
// channels of every pixel, read as [groups][C / groups], are written
// transposed. The output has the input's shape.
#pragma once
#include <string>

#include "layers/common/layer_base.h"

namespace vantrel {

class ChannelShuffleInt8 final : public ShapeKeeping<Int8Layer> {
public:
    // Throws when groups < 1.
    ChannelShuffleInt8(const std::string& node_name, int32_t groups);

    // Refuses an input whose C is not a multiple of groups.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    int32_t groups;
};

}  // namespace vantrel
