// Snake activation ("snake1d_fp32") on x {C, L, W}:
// out = x + (1/alpha) * sin^2(alpha * x) with one alpha per channel.
// Weight "<node>.alpha": exactly C floats, where C is the tensor's length;
// 1/alpha is computed once at load as 1 / (alpha + 1e-9). Inputs must have
// that many channels.
#pragma once
#include <string>
#include <vector>

#include "layers/common/layer_base.h"

namespace vantrel {

class SnakeFp32 final : public ShapeKeeping<Fp32Layer> {
public:
    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    void upload_weights(Allocator& alloc) override;

    std::vector<float> alpha, inv_alpha;

private:
    Buffer device_alpha_, device_inv_alpha_;
};

}  // namespace vantrel
