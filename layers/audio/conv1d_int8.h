// Int8-weight 1-D convolution layer ("conv1d_int8"): float32 signals {C, L, 1}
// in and out, int8 weights with one float scale per output channel,
// activations quantised row by row at run time (kernels/conv/conv1d_s8.h).
//
// Paths, fixed when the weights are bound:
// - stride 1 and one group: per tap. Each padded input row is quantised
//   once and every tap is one integer product; the same arithmetic runs on
//   one thread or a team, so results do not depend on the thread count.
// - anything else: im2col, one dynamically quantised product per group
//   (each group reads only its own input channels).
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "layers/audio/conv1d_layer.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class Conv1dInt8 final : public Conv1dLayer {
public:
    // Throws when C_out, C_in, kernel_size, stride, dilation or groups is
    // below 1, padding is negative, or groups does not divide C_in and C_out.
    Conv1dInt8(const std::string& node_name, int32_t C_out, int32_t C_in, int32_t kernel_size,
               int32_t stride, int32_t padding, int32_t dilation, int32_t groups);

    // ".weight_i8": exactly C_out * kernel_size * (C_in/groups) int8, [o][k][c].
    // ".w_scales": exactly C_out finite floats. ".bias": absent, empty or
    // exactly C_out floats.
    void load_weights(const WeightFetch& fetch) override;
    // Per tap: area 0 codes, area 5 row scales, area 3 one tap's products
    // (kernel_size > 1). Im2col: area 2 columns, area 0 codes, area 5 weight
    // scales, area 3 one group's outputs (groups > 1).
    void plan_scratch(Shape3 input, ScratchRequest& req) const override;
    void upload_weights(Allocator& alloc) override;
    void release_host_weights() override;

    bool per_tap() const { return stride == 1 && groups == 1; }

    int32_t dilation;
    std::vector<int8_t> weight;        // [C_out][kernel_size][C_in/groups]; dropped on the host once packed
    std::vector<float> w_scale;        // [C_out]
    std::vector<int64_t> zero_bias;    // [C_out] zeros: the engine's integer bias
    std::vector<int32_t> weight_sums;  // [C_out] sums of each channel's int8 weights
    std::vector<Buffer> tap_packed;    // per tap: kernel_size blocks of C_out x C_in
    std::vector<Buffer> group_packed;  // im2col: one block per group

private:
    // L_out is 0 when the dilated kernel is longer than the padded input.
    int64_t output_length(int64_t l) const override;
    void run(const Backend& be, const Conv1dIo& io, ExecContext* ctx) override;

    std::vector<std::shared_ptr<SharedPackedWeight>> owners_;
    std::vector<int8_t> own_codes_;
    std::vector<float> own_floats_[3];  // by use: columns / tap products, scales, group outputs
    Buffer device_scale_;
};

}  // namespace vantrel
