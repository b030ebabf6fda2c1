// Float max pooling ("maxpool_fp32"): per channel, the maximum over each
// window's positions inside the input; padding never contributes, and a
// window entirely in the padding gives -infinity. NaN propagates. With
// "ceil_mode" the output extents round up (pool_out_extent_ceil) and the last
// window is clipped to the input.
#pragma once
#include <string>

#include "layers/image/pool_window.h"

namespace vantrel {

class MaxPoolFp32 final : public WindowPoolLayer<kDtypeFp32> {
public:
    // Throws when a kernel size or stride is below 1 or a pad is negative.
    MaxPoolFp32(const std::string& node_name, int32_t kH, int32_t kW, int32_t stride_h,
                int32_t stride_w, int32_t pad_h, int32_t pad_w, bool ceil_mode = false);

    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
};

}  // namespace vantrel
