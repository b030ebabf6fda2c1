// Float fully connected layer ("gemm_fp32"): y = W x + bias, then ReLU when
// the node asks for it. The input is read as a flat vector of C_in floats.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "layers/common/layer_base.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class GemmFp32 final : public Fp32Layer {
public:
    // Throws when C_out or C_in is below 1.
    GemmFp32(const std::string& node_name, int32_t C_out, int32_t C_in);

    // Needs ".weight" of exactly C_out*C_in floats; ".bias" is optional and,
    // when present, exactly C_out floats.
    void load_weights(const WeightFetch& fetch) override;
    // The input tensor must have exactly C_in elements, whatever its shape.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3) const override { return Shape3{C_out, 1, 1}; }
    void upload_weights(Allocator& alloc) override;

    int32_t C_in, C_out;
    std::vector<float> weight;  // [C_out][C_in]
    std::vector<float> bias;    // [C_out] or empty
    Buffer packed;              // pack_f32(weight, C_out, C_in)

private:
    std::shared_ptr<SharedPackedWeight> packed_owner_;
    Buffer device_packed_;
};

}  // namespace vantrel
