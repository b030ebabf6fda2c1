// Float 2-D convolution layer ("conv_fp32"), channels-last.
//
// Paths, fixed when the weights are bound:
// - 3x3, stride 1, groups 1, dilation 1, pad 1 (on the host pad 0 or 1 on
//   each side): Winograd F(4x4, 3x3) on the host for 16 to 128-ish
//   channels (the im2col GEMM then takes outputs under 7x7), else Winograd
//   F(2x2, 3x3); see choose_winograd;
// - 3x3, stride 2, groups 1, dilation 1, pad 0 or 1, on the host: the
//   stride-2 Winograd form (conv2d_f32_wino_s2_epi) for wide channel pairs
//   and outputs from 14x14 up; see choose_winograd_s2;
//   VANTREL_FP32_WINOGRAD=f2|f4|off overrides the choice (f4 at any size;
//   f2 or f4 also force the stride-2 form, off turns it off too);
// - groups 1 otherwise: im2col + GEMM (copy-free for 1x1, stride 1, no pad,
//   and, on paths that can, for inputs of at most 4 channels: windows read
//   in place from a padded copy);
// - groups == C_in > 1 (depthwise, C_out = C_in * multiplier): direct
//   depthwise convolution;
// - 1 < groups < C_in: on the host a direct kernel for groups of few
//   channels (grouped_direct_f32_suits), else one im2col + GEMM per group.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "engine/activation_fusion.h"
#include "engine/channel_scale_fusion.h"
#include "engine/concat_fusion.h"
#include "engine/expand_fusion.h"
#include "engine/residual_fusion.h"
#include "kernels/conv/conv2d_f32_expand_dw.h"
#include "kernels/gemm/gemm_f32_epilogue.h"
#include "layers/image/conv2d_layer.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class ConvFp32 final : public Conv2dLayer<kDtypeFp32>, public ResidualFusable, public ExpandFusable,
                       public ProjectFusable, public SiluFusable, public ChannelScaleFusable,
                       public ActivationFusable, public ChannelPrefixReader {
public:
    // Throws when a size, stride, dilation or group count is below 1, a pad
    // is negative, or groups does not divide C_in and C_out.
    ConvFp32(const std::string& node_name, int32_t C_out, int32_t C_in, int32_t kH, int32_t kW,
             int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w, int32_t groups,
             int32_t dilation_h, int32_t dilation_w);

    // Needs ".weight" of exactly C_out*K floats; ".bias" is optional and, when
    // present, exactly C_out floats.
    void load_weights(const WeightFetch& fetch) override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // {C_out, OH, OW}; an extent is 0 when the dilated kernel exceeds the
    // padded input.
    Shape3 output_shape(Shape3 input) const override { return conv_output(input, dilation_h, dilation_w); }
    // Area 2: the im2col matrix, the Winograd matrices or the grouped
    // im2col + GEMM result, whichever is largest.
    void plan_scratch(Shape3 input, ScratchRequest& req) const override;
    void upload_weights(Allocator& alloc) override;
    // A 1x1, stride-1, unpadded, ungrouped convolution is one product per
    // pixel (its GEMM sums each output in the same order for any pixel count).
    bool pixelwise() const override {
        return groups == 1 && kH == 1 && kW == 1 && stride_h == 1 && stride_w == 1 && pad_h == 0 && pad_w == 0 &&
               dilation_h == 1 && dilation_w == 1;
    }

    int32_t dilation_h, dilation_w;
    std::vector<float> weight;  // [C_out][C_in/groups][kH][kW] (GEMM order on device backends)
    std::vector<float> bias;    // [C_out] or empty
    Buffer packed;              // groups == 1: pack_f32 of [C_out][kH][kW][C_in]
    bool winograd_ready = false;   // F(2x2, 3x3): winograd_u
    Buffer winograd_u[16];
    bool winograd4_ready = false;  // F(4x4, 3x3), host only: winograd4_u
    Buffer winograd4_u[36];
    // Stride 2, host only: winograd_u holds the stride-2 form's weights
    // (conv2d_f32_wino_s2_epi) instead of F(2x2, 3x3)'s.
    bool winograd_s2_ready = false;
    std::vector<Buffer> group_packed;    // 1 < groups < C_in: one block per group
    std::vector<float> depthwise_taps;   // groups == C_in > 1: [kH][kW][C_out]
    std::vector<float> grouped_taps;     // direct grouped: [C_out/16][kH][kW][C_in/groups][16]

    // Activation applied to the output after the convolution (and after the
    // relu flag), rounded as the clamp_fp32 / hard_swish_fp32 kernels do so
    // the result equals the separate op's bit for bit: in the GEMM or
    // Winograd epilogue on the host, in a pass over the output otherwise.
    enum : int32_t { kActNone = 0, kActClamp = 1, kActHardSwish = 2 };
    int32_t act = kActNone;
    float clamp_min = 0.0f, clamp_max = 6.0f;

    // Every path but the grouped one takes an add into its epilogue on the
    // host; the fused node's input 1 is then the residual.
    bool fuse_residual_add(const std::string& add_node, bool residual_first, bool relu) override;
    bool residual_fused() const { return !residual_node_.empty(); }

    bool depthwise() const { return groups > 1 && groups == C_in; }

    // A depthwise layer on the host takes in the ConvFp32 before it when
    // that one runs its im2col GEMM path (a pixelwise expansion, or a stem:
    // ungrouped, undilated, no Winograd; no residual, no channel pick, its
    // output channels this layer's input): the fused node then reads that
    // layer's input, and both run in row bands
    // (conv2d_f32_expand_depthwise). `expand` must outlive this
    // layer's use (both belong to the same graph).
    bool fuse_expand(ILayer& expand) override;
    bool expand_fused() const { return expand_ != nullptr; }

    // A depthwise layer on the host (with or without a folded expansion)
    // takes in the pixelwise ConvFp32 after it (no channel pick; its residual
    // add, if folded, comes along as the fused node's input 1): the band
    // kernel then projects each band of depthwise rows while they are in
    // cache. `project` must outlive this layer's use.
    bool fuse_project(ILayer& project) override;
    bool project_fused() const { return project_ != nullptr; }

    // On the host, a layer of whole groups of 4 output channels without its
    // own activation, residual or channel pick, and not grouped, runs the
    // SiLU on each tile it stores (the spans then hold whole groups of 4 of
    // the flat output, as one call of the kernel over the tensor would).
    bool fuse_silu(const std::string& silu_node) override;
    // The same for an exact GELU (the backend's k_gelu_erf_f32), which
    // works element by element, so any number of output channels will do.
    bool fuse_gelu_erf(const std::string& gelu_node) override;

    // A pixelwise layer on the host (no expansion, projection or channel
    // pick of its own) takes in the per-channel scale of its input
    // (squeeze-and-excitation's channel_mul_fp32): the fused node reads the
    // unscaled input as input 0 and the scale, one factor per input
    // channel, as its last input (after a folded residual), and scales each
    // band of rows in cache before its product (conv1x1_f32_channel_scaled).
    bool fuse_channel_scale(const std::string& mul_node) override;
    bool scale_fused() const { return scale_mul_ != nullptr; }

    // The input channels of the node (a folded expansion's, if any).
    int32_t input_channels() const override { return expand_ ? expand_->C_in : C_in; }
    // A 1x1 depthwise layer with its projection folded (DenseNet's
    // batch-norm and ReLU before each 1x1) reads its input pixels in place,
    // whatever their width: a channel prefix of a shared concat buffer.
    bool read_channel_prefix() override;

    // Which Winograd weights a 3x3 stride-1 layer prepares: 2 (F(2x2, 3x3)),
    // 4 (F(4x4, 3x3)) or 0 (none: the im2col GEMM), from the channel counts,
    // the backend and the override `env` (VANTREL_FP32_WINOGRAD: f2, f4,
    // off or auto; null or empty is auto); -1 for any other value.
    static int32_t choose_winograd(int32_t c_in, int32_t c_out, bool host, const char* env);
    // Whether a 3x3 stride-2 layer on the host prepares the stride-2
    // Winograd form's weights, from its channel counts and the override
    // VANTREL_FP32_WINOGRAD (off: never; f2 or f4: always, to run at any
    // size).
    static bool choose_winograd_s2(int32_t c_in, int32_t c_out, const char* env);
    // Whether the stride-2 form runs for an oh x ow output: when prepared,
    // from 14 x 14 up unless forced (smaller outputs have too few tiles to
    // pay for reading 16 weight planes instead of the GEMM's 9).
    bool winograd_s2_runs(int64_t oh, int64_t ow) const {
        return winograd_s2_ready && oh >= winograd_s2_min_extent_ && ow >= winograd_s2_min_extent_;
    }
    // Whether the F(4x4, 3x3) weights run for an oh x ow output: always
    // when the override asked for them, else from 7 x 7 up; smaller outputs
    // take the im2col GEMM, which is faster there (4x4 tiles mostly overhang).
    bool winograd4_runs(int64_t oh, int64_t ow) const {
        return winograd4_ready && oh >= winograd4_min_extent_ && ow >= winograd4_min_extent_;
    }
    bool grouped() const { return groups > 1 && groups < C_in; }
    // A pixelwise layer whose weights are one-hot rows without bias only
    // picks channels (converters write a channel split that way): output
    // channel o is input channel channel_pick[o], copied instead of summed.
    // Empty otherwise.
    std::vector<int32_t> channel_pick;

private:
    Shape3 convolve(const TensorView* inputs, int num_inputs, const BufferView* output, ExecContext* ctx,
                    const ConvEpilogueF32* epi);
    // Whether the host kernels apply the activation and residual themselves.
    bool epilogue_in_kernel() const;

    // The fused expansion `e` (or null), this depthwise layer and the fused
    // projection `q` (or null) as the band kernel takes them; epi is this
    // layer's epilogue (or null).
    // Takes on an element-wise activation node run by `fn` on the stored tiles.
    bool fuse_unary(const std::string& node, EpilogueUnaryFnF32 fn);
    ExpandDepthwiseF32 expand_params(const ConvFp32* e, const ConvFp32* q, const ConvEpilogueF32* epi) const;
    Shape3 forward_banded(const TensorView* inputs, int num_inputs, const BufferView* output,
                          const ConvEpilogueF32& epi);

    int64_t winograd4_min_extent_ = 7;
    int64_t winograd_s2_min_extent_ = 14;
    ConvFp32* expand_ = nullptr;   // the folded expansion, or null
    ConvFp32* project_ = nullptr;  // the folded projection, or null
    bool prefix_read_ = false;     // input 0 may be wider than C_in
    EpilogueUnaryFnF32 unary_ = nullptr;  // the folded SiLU's or GELU's kernel, or null
    // The folded channel scale's kernel and node, or null and empty.
    void (*scale_mul_)(const float*, const float*, float*, int32_t, int32_t, void*) = nullptr;
    std::string scale_node_;
    // The epilogue this layer's host kernels run: the activation and the
    // folded SiLU or GELU (a residual is added by forward).
    ConvEpilogueF32 host_epilogue() const;
    std::string residual_node_;  // the folded add node, empty when none
    bool residual_first_ = false, residual_relu_ = false;

    std::shared_ptr<SharedPackedWeight> packed_owner_;
    std::shared_ptr<SharedPackedWeight> winograd_owner_[16];
    std::shared_ptr<SharedPackedWeight> winograd4_owner_[36];
    std::vector<std::shared_ptr<SharedPackedWeight>> group_owner_;
};

}  // namespace vantrel
