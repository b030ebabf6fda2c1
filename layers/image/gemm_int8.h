// Int8 fully connected layer ("gemm_int8"): int8 feature codes in, float32
// out: y[n] = (float)(sum_k x[k] * W[n][k] + eff_bias[n]) * req_scale[n],
// then ReLU when the node asks for it. The input is read as a flat vector of
// C_in int8 codes (the output of the preceding int8 layer).
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "layers/common/layer_base.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class GemmInt8 final : public Fp32Layer {
public:
    // Throws when C_out or C_in is below 1.
    GemmInt8(const std::string& node_name, int32_t C_out, int32_t C_in, int32_t in_zp);

    // Needs ".weight" (exactly C_out*C_in int8), ".req_scale" (exactly C_out
    // finite floats >= 0) and ".eff_bias" (exactly C_out int64).
    void load_weights(const WeightFetch& fetch) override;
    // The input tensor must have exactly C_in elements, whatever its shape.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    int input_dtype() const override { return kDtypeInt8; }
    Shape3 output_shape(Shape3) const override { return Shape3{C_out, 1, 1}; }
    void upload_weights(Allocator& alloc) override;

    int32_t C_in, C_out;
    int32_t in_zp;  // folded into eff_bias by the weights' writer; kept for reference
    std::vector<int8_t> weight;    // [C_out][C_in]
    std::vector<float> req_scale;  // [C_out]
    std::vector<int32_t> multiplier, shift;
    std::vector<int64_t> eff_bias;  // [C_out]
    Buffer packed;                  // pack_s8(weight, C_out, C_in)
    std::vector<int32_t> row_sums;  // [C_out], wrapping 32-bit sums

private:
    std::shared_ptr<SharedPackedWeight> packed_owner_;
    Buffer device_packed_;
};

}  // namespace vantrel
