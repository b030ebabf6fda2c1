// Class-token extraction ("cls_extract_fp32"): copies token 0 (the first c
// floats) of a {c, tokens, 1} sequence to a {c, 1, 1} output. Runs on the
// host whatever the active backend.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class ClsExtractFp32 final : public HostOnly<Fp32Layer> {
public:
    // Throws when the input has no token (h*w == 0 with c > 0).
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override;
};

}  // namespace vantrel
