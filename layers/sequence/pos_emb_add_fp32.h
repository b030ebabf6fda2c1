// Learned position table added to a sequence ("pos_emb_add_fp32").
#pragma once
#include <string>
#include <vector>

#include "layers/common/layer_base.h"

namespace vantrel {

class PosEmbAddFp32 final : public HostOnly<ShapeKeeping<Fp32Layer>> {
public:
    // Needs a non-empty ".weight", laid out [positions][c].
    void load_weights(const WeightFetch& fetch) override;
    // Refuses inputs whose width does not divide the table into rows and
    // inputs longer than the table.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    std::vector<float> weight;
};

}  // namespace vantrel
