// Float 1-D convolution layer ("conv1d_fp32") over time-major signals
// {C, L, 1} (row t holds the C channels of time step t).
//
// The path is fixed when the weights are bound:
// - groups != 1 or stride != 1: generic. One group: im2col + GEMM through
//   k_conv2d_f32 on an L x 1 image; groups == C_in: the depthwise kernel;
//   otherwise one im2col + GEMM per group. Each group reads only its own
//   input channels and weights.
// - kernel_size 1: pointwise, one GEMM (over a zero-padded copy if padding).
// - kernel_size 3, 7 or 11 with dilation 1: Winograd F(4,3), F(2,7), F(2,11).
// - anything else: the direct kernel.
// TAMBOR_FP32_CONV1D_DIRECT moves unit-stride, one-group layers with
// kernel_size > 1 to the direct kernel: "1" or "all" for every size, a list
// of sizes ("3,7", separators space , : ;) for those sizes; unset, empty,
// "0..." or "wino" keeps the choice above, as does anything unparsable.
//
// The direct, pointwise and generic paths sum each output over (k, c) in the
// same order and therefore agree bit for bit; Winograd results differ from
// them by rounding only.
#pragma once
#include <string>
#include <vector>

#include "layers/audio/conv1d_layer.h"

namespace vantrel {

class Conv1dFp32 final : public Conv1dLayer {
public:
    enum class Path { Generic, Pointwise, Winograd, Direct };

    // Throws when C_out, C_in, kernel_size, stride, dilation or groups is
    // below 1, padding is negative, or groups does not divide C_in and C_out.
    Conv1dFp32(const std::string& node_name, int32_t C_out, int32_t C_in, int32_t kernel_size,
               int32_t stride, int32_t padding, int32_t dilation, int32_t groups);

    // The path for these arguments and a value of TAMBOR_FP32_CONV1D_DIRECT
    // (null when unset).
    static Path choose_path(int32_t kernel_size, int32_t stride, int32_t dilation, int32_t groups,
                            const char* direct_env);

    // ".weight": exactly C_out * (C_in/groups) * kernel_size floats,
    // [o][c][k]. ".bias": absent, empty, or exactly C_out floats.
    void load_weights(const WeightFetch& fetch) override;
    // Area 2: the padded input with the Winograd matrices, the padded copy,
    // or the column buffer of the generic path, whichever is largest.
    void plan_scratch(Shape3 input, ScratchRequest& req) const override;
    void upload_weights(Allocator& alloc) override;
    void release_host_weights() override;

    Path path() const { return path_; }

    int32_t dilation;
    // [C_out][kernel_size][C_in/groups]; dropped on the host once packed.
    std::vector<float> weight_r;
    Buffer generic_packed;                // one group: pack_f32 of weight_r
    std::vector<Buffer> group_packed;     // 1 < groups < C_in: one block per group
    std::vector<float> depthwise_taps;    // groups == C_in > 1: [kernel_size][C_out]
    std::vector<Buffer> pointwise_packed; // at most one block
    std::vector<Buffer> winograd_packed;  // n = 6, 8 or 12 transformed blocks
    Buffer direct_packed;                 // 4-channel blocks [b][k][c][j]

private:
    // L_out is 0 when the dilated kernel is longer than the padded input.
    int64_t output_length(int64_t l) const override;
    void run(const Backend& be, const Conv1dIo& io, ExecContext* ctx) override;
    // Scratch area 2 when it holds n floats, else the layer's own vector.
    float* scratch_floats(ExecContext* ctx, int64_t n);

    Path path_ = Path::Generic;
    std::vector<float> own_scratch_;
};

}  // namespace vantrel
