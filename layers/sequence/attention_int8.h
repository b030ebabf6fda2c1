// Multi-head self-attention with int8 weights ("attention_int8"): the QKV
// and output projections quantise their float activations per row at run
// time (gemm_s8_dynamic); the attention itself is float.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "layers/common/layer_base.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class AttentionInt8 final : public ShapeKeeping<Fp32Layer> {
public:
    // Throws when num_heads < 1, or embed_dim > 0 does not split into
    // num_heads heads. embed_dim <= 0: E comes from the ".w_qkv_i8" size.
    AttentionInt8(const std::string& node_name, int32_t num_heads, int32_t embed_dim);

    // Required: ".w_qkv_i8" int8 [3E][E], ".w_qkv_scales" (3E floats),
    // ".w_proj_i8" int8 [E][E], ".w_proj_scales" (E floats). Optional float
    // biases ".b_qkv" (3E) and ".b_proj" (E).
    void load_weights(const WeightFetch& fetch) override;
    // The input's c must equal E; an optional second input is a key-padding
    // mask (attention_key_mask). A non-host backend must bring its own
    // int8 attention kernel.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    void plan_scratch(Shape3 input, ScratchRequest& req) const override;
    void upload_weights(Allocator& alloc) override;

    int32_t embed() const { return E_; }

    int32_t num_heads, embed_dim;
    std::vector<int8_t> w_qkv_i8, w_proj_i8;
    std::vector<float> w_qkv_scales, w_proj_scales, b_qkv, b_proj;
    // The products' integer bias: no tensor supplies one, so it is all zero.
    std::vector<int64_t> ib_qkv, ib_proj;
    Buffer packed_qkv, packed_proj;

private:
    int32_t E_;
    std::shared_ptr<SharedPackedWeight> qkv_owner_, proj_owner_;
    Buffer device_qkv_, device_proj_;
    std::vector<float> own_qkv_, own_scales_;
    std::vector<int8_t> own_codes_;
};

}  // namespace vantrel
