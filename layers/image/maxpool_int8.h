// Int8 max pooling ("maxpool_int8"): per channel, the maximum over each
// window's positions inside the input; a window entirely in the padding
// gives -128. In ceil mode the output extents round up (as maxpool_fp32's). Zero points play no role: the output keeps the input's
// quantisation.
#pragma once
#include <string>

#include "layers/image/pool_window.h"

namespace vantrel {

class MaxPoolInt8 final : public WindowPoolLayer<kDtypeInt8> {
public:
    // Throws when a kernel size or stride is below 1 or a pad is negative.
    MaxPoolInt8(const std::string& node_name, int32_t kH, int32_t kW, int32_t stride_h,
                int32_t stride_w, int32_t pad_h, int32_t pad_w, int8_t in_zp, int8_t out_zp, bool ceil_mode = false);

    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    // Stored from the node, unused by pooling.
    int8_t in_zp, out_zp;
};

}  // namespace vantrel
