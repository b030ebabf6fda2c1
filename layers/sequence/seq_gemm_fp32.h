// Float fully connected layer applied to every token ("seqgemm_fp32"):
// input {K, h, w} (T = h*w tokens of K features), output {N, h, w} with
// y = x * W^T + bias, then GELU when asked. With `step_int8` the weight is
// also kept as per-row int8 copies for a faster, approximate single-token
// product; without it one token takes the float path of any other length.
// The GELU, a folded exact GELU node and a folded residual add (input 1)
// run on each output tile of the host product while it is in cache.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "engine/activation_fusion.h"
#include "engine/residual_fusion.h"
#include "layers/common/layer_base.h"
#include "layers/sequence/seq_residual.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class SeqGemmFp32 final : public Fp32Layer, public ResidualFusable, public ActivationFusable {
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
    void upload_weights(Allocator& alloc) override;
    // Refused with step_int8 (its one-token product has no epilogue) and
    // with a GELU over rows of other than a multiple of 4 outputs (that
    // GELU's tail elements are only those of the whole tensor).
    bool fuse_residual_add(const std::string& add_node, bool residual_first, bool relu) override;
    // Refused with the layer's own GELU, with step_int8, or after an add.
    bool fuse_gelu_erf(const std::string& gelu_node) override;
    // Token by token, except that step_int8 gives a lone token its own
    // product and dynamic_quantize ranges over the whole tensor.
    bool pixelwise() const override { return !step_int8 && !dynamic_quantize; }

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
    SeqResidual residual_;
    std::string gelu_erf_node_;  // the folded exact GELU, empty when none
    std::shared_ptr<SharedPackedWeight> packed_owner_;
    Buffer device_packed_, device_rows_, device_scales_;
};

}  // namespace vantrel
