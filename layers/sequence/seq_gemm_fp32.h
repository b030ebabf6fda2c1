// Float fully connected layer applied to every token ("seqgemm_fp32"):
// input {K, h, w} (T = h*w tokens of K features), output {N, h, w} with
// y = x * W^T + bias, then GELU when asked. With `step_int8` the weight is
// also kept as per-row int8 copies for a faster, approximate single-token
// product; without it one token takes the float path of any other length.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "layers/common/layer_base.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class SeqGemmFp32 final : public Fp32Layer {
public:
    // Throws when C_out or C_in is below 1.
    SeqGemmFp32(const std::string& node_name, bool gelu, int32_t C_out, int32_t C_in,
                bool dynamic_quantize, bool huge_page_hint, bool step_int8 = false);

    // The weight is ".weight_i8" (exactly C_out*C_in int8) with ".w_scales"
    // (exactly C_out floats) when the file has it, else ".weight" (exactly
    // C_out*C_in floats); ".bias" is optional and then exactly C_out floats.
    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override { return Shape3{C_out, input.h, input.w}; }
    // A single token takes the int8 rows with step_int8, and dynamic
    // quantisation scales by the whole tensor's range: a row then depends on
    // the others.
    bool pixelwise() const override { return !step_int8 && !dynamic_quantize; }
    void upload_weights(Allocator& alloc) override;

    bool gelu;
    int32_t C_out, C_in;
    bool dynamic_quantize;
    bool huge_page_hint;
    bool step_int8;
    std::vector<float> weight;       // [C_out][C_in]
    std::vector<float> bias;         // [C_out] or empty
    Buffer packed;                   // k_pack_f32(weight, C_out, C_in), shared
    std::vector<int8_t> token_rows;  // [C_out][C_in] per-row symmetric codes (step_int8 only)
    std::vector<float> token_scales; // [C_out] (step_int8 only)

private:
    std::shared_ptr<SharedPackedWeight> packed_owner_;
    Buffer device_packed_, device_rows_, device_scales_;
};

}  // namespace vantrel
