// Float multi-head self-attention ("attention_fp32") over a token sequence
// {E, T, 1}: fused QKV projection, softmax attention per head over all
// tokens, output projection.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "engine/residual_fusion.h"
#include "layers/common/layer_base.h"
#include "layers/sequence/seq_residual.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class AttentionFp32 final : public ShapeKeeping<Fp32Layer>, public ResidualFusable {
public:
    // Throws when num_heads < 1, or embed_dim > 0 does not split into
    // num_heads heads. embed_dim <= 0: E comes from the ".w_qkv" size.
    AttentionFp32(const std::string& node_name, int32_t num_heads, int32_t embed_dim,
                  bool dynamic_quantize);

    // ".w_qkv" [3E][E] and ".w_proj" [E][E] are required; ".b_qkv" (3E) and
    // ".b_proj" (E) are optional.
    void load_weights(const WeightFetch& fetch) override;
    // The input's c must equal E. An optional second input of T
    // values is a key-padding mask (1: token, 0: padding; attention_key_mask),
    // or, with a folded residual add, that add's other operand.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    void plan_scratch(Shape3 input, ScratchRequest& req) const override;
    void upload_weights(Allocator& alloc) override;
    // The add runs on the output projection's tiles (host only).
    bool fuse_residual_add(const std::string& add_node, bool residual_first, bool relu) override {
        return residual_.take(add_node, residual_first, relu);
    }

    // Embedding size in use: embed_dim, or the one derived at load.
    int32_t embed() const { return E_; }

    int32_t num_heads, embed_dim;
    bool dynamic_quantize;
    std::vector<float> w_qkv, b_qkv, w_proj, b_proj;
    Buffer packed_qkv, packed_proj;

private:
    SeqResidual residual_;
    int32_t E_;
    std::shared_ptr<SharedPackedWeight> qkv_owner_, proj_owner_;
    Buffer device_qkv_, device_proj_;
    std::vector<float> own_scratch_, quantized_input_;
};

}  // namespace vantrel
