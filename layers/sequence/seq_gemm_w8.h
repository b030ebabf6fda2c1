// Weight-only int8 fully connected layer applied to every token
// ("seqgemm_w8"): input {K, h, w}, output {N, h, w}, y = x * W^T + bias with
// W held as int8 codes and one float scale per `group_size` weights of a
// row; the activations stay float. Any token count runs the same kernel, so
// a one-token step computes exactly what a longer pass computes for it.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "layers/common/layer_base.h"

namespace vantrel {

class SeqGemmW8 final : public Fp32Layer {
public:
    // Throws when C_out or C_in is below 1 or group_size is not a positive
    // multiple of 8.
    SeqGemmW8(const std::string& node_name, bool gelu, int32_t C_out, int32_t C_in, int32_t group_size,
              bool huge_page_hint);

    // ".weight_i8" (exactly C_out*C_in int8) with ".w_scales" (exactly
    // C_out*ceil(C_in/group_size) floats) when the file has them; otherwise
    // the float ".weight" (C_out*C_in), quantised here per group (a tied
    // head reads the embedding table this way). ".bias" is optional.
    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override { return Shape3{C_out, input.h, input.w}; }
    bool pixelwise() const override { return true; }
    void upload_weights(Allocator& alloc) override;

    bool gelu;
    int32_t C_out, C_in, group_size;
    bool huge_page_hint;
    std::vector<int8_t> codes;   // [C_out][C_in]
    std::vector<float> scales;   // [C_out][ceil(C_in / group_size)]
    std::vector<float> bias;     // [C_out] or empty

private:
    Buffer device_codes_, device_scales_, device_bias_;
};

// Symmetric per-group codes of float rows w [n][k]: per group, amax = max
// |w|; scale = amax * 0.007874016 (amax / 127) and q = round-half-away(w *
// 127 / amax) clamped to [-127, 127]; a group of magnitude at most 1e-8 gets
// scale 0 and zero codes. NaN weights become 0.
void quantize_weight_groups(const float* w, int64_t n, int64_t k, int64_t group, int8_t* q,
                            float* scale);

}  // namespace vantrel
