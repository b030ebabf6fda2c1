// Int8 2-D convolution layer ("conv_int8"), channels-last, int8 in and out
// with per-output-channel requantisation. The weights file carries the
// quantisation: ".req_scale" maps acc + eff_bias to output codes and
// ".eff_bias" already holds the bias and every zero-point term.
//
// Paths:
// - groups 1 (or any grouping on a device backend): im2col + int8 GEMM;
// - 3x3, stride 1, pad 1, groups 1 on the host, from kWinogradMinChannels
//   input channels and kWinogradMinTiles output tiles: integer Winograd
//   F(2x2, 3x3), within a few codes of the exact GEMM;
//   VANTREL_INT8_WINOGRAD=on|off|auto (read when the weights load) forces it
//   at every such layer, or nowhere, or leaves the default;
// - depthwise 3x3 (groups = C_in = C_out), pad 1, stride 1 or 2 on the host:
//   the depthwise kernel with tap-major weights prepared at load;
// - other groupings on the host: the kernel's per-group path.
// The node's relu flag is not applied: outputs are only saturated to int8.
//
// A following int8 add may be folded in at load (engine/residual_fusion.h):
// 1x1 stride-1 convolutions then apply the add's 12-bit fixed-point element
// formula to each GEMM tile as it is stored; other shapes and the cases the
// add computes otherwise (ratios above its fast limit, the tail after its
// last whole block, other backends) run the convolution, then the add's own
// kernel in place. Either way the bytes are the separate ops'.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "engine/expand_fusion.h"
#include "engine/residual_fusion.h"
#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/elementwise/add_s8.h"
#include "layers/image/conv2d_layer.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class ConvInt8 final : public Conv2dLayer<kDtypeInt8>,
                       public ResidualFusableInt8,
                       public ExpandFusable,
                       public ProjectFusable {
public:
    // Throws when a size, stride or group count is below 1, a pad is
    // negative, or groups does not divide C_in and C_out.
    ConvInt8(const std::string& node_name, int32_t C_out, int32_t C_in, int32_t kH, int32_t kW,
             int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w, int32_t groups,
             int8_t in_zp, int8_t out_zp);

    // Needs ".weight" (exactly C_out*K int8), ".req_scale" (exactly C_out
    // finite floats >= 0) and ".eff_bias" (exactly C_out int64).
    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // {C_out, OH, OW}; an extent is 0 when the kernel exceeds the padded
    // input. With folded layers: the last one's output of the first one's
    // input.
    Shape3 output_shape(Shape3 input) const override;
    // Area 0: the int8 im2col matrix or the Winograd input transform;
    // area 1: the Winograd products.
    void plan_scratch(Shape3 input, ScratchRequest& req) const override;
    void upload_weights(Allocator& alloc) override;
    // Takes on an AddInt8 (add); the fused node's input 1 is the residual.
    bool fuse_residual_add_int8(const std::string& add_node, bool residual_first, const ILayer& add) override;
    bool residual_fused() const { return !residual_node_.empty(); }

    // A host depthwise 3x3 layer (padding 1, stride 1 or 2, its kernel's
    // case) takes in the ConvInt8 before it when that one runs its im2col
    // GEMM (a 1x1 expansion, or a stem: ungrouped, no Winograd, no folds of
    // its own, its output channels this layer's input), and the
    // 1x1 stride-1 ConvInt8 after it (its folded add, if any, coming along
    // as the fused node's input 1): conv2d_s8_expand_depthwise then runs all
    // of them in row bands. The folded layers must outlive this layer's use
    // (they belong to the same graph).
    bool fuse_expand(ILayer& expand) override;
    bool fuse_project(ILayer& project) override;
    bool expand_fused() const { return expand_ != nullptr; }
    bool project_fused() const { return project_ != nullptr; }

    int8_t in_zp, out_zp;
    std::vector<int8_t> weight;      // [C_out][C_in/groups][kH][kW]
    std::vector<float> req_scale;    // [C_out]
    std::vector<int32_t> multiplier, shift;
    std::vector<int64_t> eff_bias;   // [C_out]
    std::vector<int64_t> wino_bias;  // [C_out]
    Buffer packed_raw;               // pack_s8(weight, C_out, K)
    Buffer packed;                   // pack_s8 of [C_out][kH][kW][C_in/groups]
    std::vector<int32_t> row_sums;   // [C_out], wrapping 32-bit sums
    std::vector<int32_t> wino_correction[16];
    std::vector<int8_t> dw_weight;   // [9][C_out], tap-major
    std::vector<int32_t> dw_bias;    // [C_out], low 32 bits of eff_bias
    DepthwiseS8LayoutPtr dw_layout;  // of dw_weight etc. for the kernel path, or null
    bool winograd_ready = false;
    float u_scale[16] = {};
    float input_transform_scale = 0.25f;
    Buffer winograd_u[16];

    // Narrower 3x3 stride-1 layers, and smaller images (2x2 output tiles),
    // run the GEMM by default.
    static constexpr int32_t kWinogradMinChannels = 128;
    static constexpr int32_t kWinogradMinTiles = 32;
    bool winograd_shape() const {
        return kH == 3 && kW == 3 && stride_h == 1 && stride_w == 1 && pad_h == 1 && pad_w == 1 &&
               groups == 1;
    }
    // One input and one output channel per group: the depthwise kernel's case.
    bool depthwise3x3() const {
        return groups > 1 && groups == C_in && groups == C_out && kH == 3 && kW == 3;
    }

private:
    void prepare_winograd();
    Shape3 convolve(const TensorView* inputs, const BufferView* output, ExecContext* ctx);
    Shape3 forward_banded(const TensorView* inputs, int num_inputs, const BufferView* output, ExecContext* ctx);
    // The band kernel's case: the depthwise kernel on the host.
    bool band_depthwise() const;
    // A 1x1 stride-1 ungrouped layer without folds of its own.
    bool plain_pointwise() const;

    ConvInt8* expand_ = nullptr;   // the folded expansion, or null
    ConvInt8* project_ = nullptr;  // the folded projection, or null

    bool winograd_forced_ = false;  // VANTREL_INT8_WINOGRAD=on: whatever the image size
    std::string residual_node_;  // the folded add node, empty when none
    bool residual_first_ = false;
    float add_in1_scale_ = 1, add_in2_scale_ = 1, add_out_scale_ = 1;
    int32_t add_in1_zp_ = 0, add_in2_zp_ = 0, add_out_zp_ = 0;
    add_s8::Params add_;

    std::shared_ptr<SharedPackedWeight> raw_owner_, packed_owner_, winograd_owner_[16];
};

}  // namespace vantrel
