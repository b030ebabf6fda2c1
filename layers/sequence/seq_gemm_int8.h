// Int8-weight fully connected layer applied to every token ("seqgemm_int8"):
// input {K, h, w} float tokens, output {N, h, w} floats. Each token row is
// quantised symmetrically at run time and multiplied with the int8 weights;
// y = ((float)acc * w_scales[n]) * s_row + bias[n], then GELU when asked.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "layers/common/layer_base.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class SeqGemmInt8 final : public Fp32Layer {
public:
    // Throws when C_out or C_in is below 1.
    SeqGemmInt8(const std::string& node_name, bool gelu, int32_t C_out, int32_t C_in,
                bool huge_page_hint);

    // Needs ".weight_i8" (exactly C_out*C_in int8) and ".w_scales" (exactly
    // C_out floats); ".bias" is optional and then exactly C_out floats.
    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override { return Shape3{C_out, input.h, input.w}; }
    // Area 4: the T*K activation codes; area 5: N float weight scales.
    void plan_scratch(Shape3 input, ScratchRequest& req) const override;
    void upload_weights(Allocator& alloc) override;

    bool gelu;
    int32_t C_out, C_in;
    bool huge_page_hint;
    std::vector<int8_t> weight_i8;  // [C_out][C_in], also the single-token rows
    std::vector<float> w_scales;    // [C_out]
    std::vector<float> bias;        // [C_out] or empty
    // The integer per-channel term the dynamic GEMM adds to every sum; this
    // layer has none, so it is all zero (C_out entries).
    std::vector<int64_t> int_bias;
    Buffer packed;                  // k_pack_s8(weight_i8, C_out, C_in), shared

private:
    std::shared_ptr<SharedPackedWeight> packed_owner_;
    Buffer device_packed_, device_rows_, device_scales_;
};

}  // namespace vantrel
