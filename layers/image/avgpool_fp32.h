// Float global average pooling ("avgpool_fp32"): one mean per channel over
// all h*w pixels, output {c, 1, 1}. An empty input (h*w == 0) gives zeros.
#pragma once
#include "engine/layer.h"

namespace vantrel {

class AvgPoolFp32 final : public ILayer {
public:
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    int dtype() const override { return kDtypeFp32; }
    Shape3 output_shape(Shape3 input) const override;
};

}  // namespace vantrel
