// Windowed float average pooling ("avgpool2d_fp32") with PyTorch's
// AvgPool2d rules: optional ceil-mode extents, and a divisor that counts
// either the input positions a window reads or, with count_include_pad,
// those inside the padded input. The global average is avgpool_fp32.
#pragma once
#include <string>

#include "layers/image/pool_window.h"

namespace vantrel {

class AvgPool2dFp32 final : public WindowPoolLayer<kDtypeFp32> {
public:
    // Throws when a kernel size or stride is below 1, or a pad is negative
    // or more than half its kernel size.
    AvgPool2dFp32(const std::string& node_name, int32_t kH, int32_t kW, int32_t stride_h, int32_t stride_w,
                  int32_t pad_h, int32_t pad_w, bool ceil_mode, bool count_include_pad);

    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    bool count_include_pad;
};

}  // namespace vantrel
