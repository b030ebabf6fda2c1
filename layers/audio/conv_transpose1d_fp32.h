// Float transposed 1-D convolution layer ("conv_transpose1d_fp32"), the
// upsampling step of vocoders, over time-major signals {C, L, 1}.
//
// One group: one float GEMM per tap, scattered into the longer output.
// Several groups (depthwise included): each output row gathers its terms
// from its own group's channels. Both round alike (kernels/
// conv_transpose1d_f32.h). No fused ReLU.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "layers/audio/conv1d_layer.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class ConvTranspose1dFp32 final : public Conv1dLayer {
public:
    // Throws when C_out, C_in, kernel_size, stride or groups is below 1,
    // padding or output_padding is negative, output_padding is not below
    // stride, or groups does not divide C_in and C_out.
    ConvTranspose1dFp32(const std::string& node_name, int32_t C_out, int32_t C_in, int32_t kernel_size,
                        int32_t stride, int32_t padding, int32_t output_padding, int32_t groups);

    // ".weight": exactly C_in * (C_out/groups) * kernel_size floats, [c][o][k].
    // ".bias": absent, empty, or exactly C_out floats.
    void load_weights(const WeightFetch& fetch) override;
    // One group on the host: area 2 holds one tap's products.
    void plan_scratch(Shape3 input, ScratchRequest& req) const override;
    BackendKind device_kind() const override;
    void upload_weights(Allocator& alloc) override;
    void release_host_weights() override;

    int32_t output_padding;
    std::vector<float> weight;         // [C_in][C_out/groups][kernel_size]; kept for device backends
    std::vector<Buffer> tap_packed;    // one group: kernel_size blocks of C_out x C_in
    std::vector<float> group_weight;   // several groups: [j][k][o][c]

private:
    // (L-1)*stride - 2*padding + kernel_size + output_padding; 0 rows for an
    // empty input or when that length is negative.
    int64_t output_length(int64_t l) const override;
    void run(const Backend& be, const Conv1dIo& io, ExecContext* ctx) override;
    // Groups a kind-3 device runs: one group, or one channel in and out per group.
    bool device_groups_ok() const;

    std::vector<std::shared_ptr<SharedPackedWeight>> owners_;
    std::vector<float> own_scratch_;
};

}  // namespace vantrel
