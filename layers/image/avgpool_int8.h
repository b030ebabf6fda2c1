// Int8 global average pooling ("avgpool_int8"): per channel, the sum of
// (in - in_zp) over all pixels rescaled by in_scale / (h*w * out_scale) in
// fixed point, plus out_zp; output {c, 1, 1}. An empty input (h*w == 0)
// gives out_zp, the code of 0.
#pragma once
#include <string>

#include "layers/image/pool_window.h"

namespace vantrel {

class AvgPoolInt8 final : public GlobalPoolLayer<kDtypeInt8> {
public:
    // Throws when out_scale is not finite and positive or in_scale is not
    // finite: the kernel divides by out_scale.
    AvgPoolInt8(const std::string& node_name, float in_scale, float out_scale, int32_t in_zp,
                int32_t out_zp);

    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    float in_scale, out_scale;
    int32_t in_zp, out_zp;
};

}  // namespace vantrel
