// Float global average pooling ("avgpool_fp32"): one mean per channel over
// all h*w pixels, output {c, 1, 1}. An empty input (h*w == 0) gives zeros.
#pragma once
#include "layers/image/pool_window.h"

namespace vantrel {

class AvgPoolFp32 final : public GlobalPoolLayer<kDtypeFp32> {
public:
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
};

}  // namespace vantrel
