#include "layers/image/conv_fp32.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "kernels/conv/conv1x1_f32_channel_scaled.h"
#include "kernels/conv/conv2d_f32.h"
#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/conv2d_f32_expand_dw.h"
#include "kernels/conv/conv2d_f32_grouped.h"
#include "kernels/conv/conv2d_f32_wino.h"
#include "kernels/conv/im2col_f32.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/packed_f32_buffer.h"
#include "layers/common/checked_extent.h"
#include "layers/common/conv_geometry.h"
#include "layers/common/elementwise_io.h"
#include "layers/common/layer_checks.h"
#include "layers/common/residual_operand.h"
#include "layers/common/row_split.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "conv_fp32";

// Transforms the 3x3 kernels of weight [C_out][C_in][3][3] with `tf` into
// kPos matrices [C_out][C_in] and packs each one.
template <int kPos>
void pack_winograd(const std::string& name, const std::function<std::string(int)>& key_of,
                   const std::vector<float>& weight, int32_t c_out, int32_t c_in,
                   void (*tf)(const float*, float*), Buffer (&u)[kPos],
                   std::shared_ptr<SharedPackedWeight> (&owner)[kPos]) {
    const size_t plane = size_t(c_out) * size_t(c_in);
    std::vector<float> m(plane * kPos);
    float e[kPos];
    for (size_t oc = 0; oc < plane; ++oc) {
        tf(weight.data() + oc * 9, e);
        for (int t = 0; t < kPos; ++t) m[t * plane + oc] = e[t];
    }
    for (int t = 0; t < kPos; ++t)
        u[t] = pack_f32_shared(kOp, name, key_of(t), m.data() + t * plane, c_out, c_in, owner[t]);
}

}  // namespace

int32_t ConvFp32::choose_winograd(int32_t c_in, int32_t c_out, bool host, const char* env) {
    const std::string v = env ? env : "";
    if (!v.empty() && v != "auto" && v != "f2" && v != "f4" && v != "off") return -1;
    if (v == "off") return 0;
    if (v == "f2" || !host) return 2;  // device backends have the F(2x2) slot only
    if (v == "f4") return 4;
    // Measured (bench/conv_wino_bench.cpp, 2 threads, time against the
    // im2col GEMM's): F(4x4) cuts the products' work by 9/4 against F(2x2)
    // but reads 36 weight planes instead of 16, so it wins while c_in * c_out
    // is moderate (64 channels at 56 pixels: F(4x4) 0.52, F(2x2) 1.03; 128 at
    // 28: 0.39 and 0.58; 16 and 32 channels alike) and loses once the planes
    // dominate (256 at 14: 0.77 and 0.65; 512 at 7: 0.75 and 0.73), which is
    // where such layers sit. Below 16 channels there is no measurement and
    // F(2x2) stays.
    if (int64_t(c_in) * c_out > 128 * 256) return 2;
    return c_in >= 16 && c_out >= 16 ? 4 : 2;
}

bool ConvFp32::choose_winograd_s2(int32_t c_in, int32_t c_out, const char* env) {
    const std::string v = env ? env : "";
    if (v == "off") return false;
    if (v == "f2" || v == "f4") return true;
    // Measured per layer in whole models (2 threads, the GEMM's time
    // against the stride-2 form's): ResNet-50's 256 channels at 28x28 in,
    // 1.22-1.56 ms against 0.99-1.37; Wide ResNet-50's 256 at 56, 5.5-5.9
    // against 4.5-5.0, and 512 at 28, 4.9-5.4 against 3.8-4.3; ResNet-50's
    // 128 at 56 loses there (1.33-1.36 against 1.37-1.64) though it wins
    // alone (bench/conv_wino_bench.cpp --stride 2: 0.86 of the GEMM's time),
    // as its 25 blocks of transformed input and products no longer stay in
    // cache; 512 at 14 (7x7 out) loses, 1.24-1.37 against 1.48-1.52
    // (winograd_s2_runs). 25 products instead of 36 pay once the channel
    // pair is wide enough that the transforms are a small part of the work.
    return int64_t(c_in) * c_out >= 256 * 256;
}

ConvFp32::ConvFp32(const std::string& node_name, int32_t C_out_, int32_t C_in_, int32_t kH_,
                   int32_t kW_, int32_t stride_h_, int32_t stride_w_, int32_t pad_h_,
                   int32_t pad_w_, int32_t groups_, int32_t dilation_h_, int32_t dilation_w_)
    : Conv2dLayer(kOp, node_name, C_out_, C_in_, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, groups_),
      dilation_h(dilation_h_), dilation_w(dilation_w_) {
    require_arg_at_least(kOp, name, "dilation_h", dilation_h, 1);
    require_arg_at_least(kOp, name, "dilation_w", dilation_w, 1);
}

void ConvFp32::load_weights(const WeightFetch& fetch) {
    std::vector<float> w, b;
    fetch_f32_tensor(kOp, name, fetch, name + ".weight", int64_t(C_out) * K, true, w);
    fetch_f32_tensor(kOp, name, fetch, name + ".bias", C_out, false, b);
    const Backend& be = active_backend_or_throw();

    loaded_ = false;
    winograd_ready = false;
    winograd_s2_ready = false;
    packed = Buffer();
    packed_owner_.reset();
    winograd4_ready = false;
    for (int t = 0; t < 16; ++t) {
        winograd_u[t] = Buffer();
        winograd_owner_[t].reset();
    }
    for (int t = 0; t < 36; ++t) {
        winograd4_u[t] = Buffer();
        winograd4_owner_[t].reset();
    }
    group_packed.clear();
    group_owner_.clear();
    depthwise_taps.clear();
    grouped_taps.clear();
    device_blocks_.clear();
    weight = std::move(w);
    bias = std::move(b);

    const int32_t cin_g = C_in / groups;
    // Device backends' Winograd slot pads by 1; the host kernels take 0 too
    // (an unpadded layer's tiles then cover its smaller output).
    const bool host = be.kind == kBackendHost;
    const bool pads_fit = host ? pad_h <= 1 && pad_w <= 1 : pad_h == 1 && pad_w == 1;
    if (kH == 3 && kW == 3 && stride_h == 1 && stride_w == 1 && pads_fit && groups == 1 && dilation_h == 1 &&
        dilation_w == 1) {
        const char* env = std::getenv("VANTREL_FP32_WINOGRAD");
        const int32_t m = choose_winograd(C_in, C_out, host, env);
        if (m < 0)
            layer_fail(kOp, name,
                       std::string("VANTREL_FP32_WINOGRAD must be f2, f4, off or auto, got '") + env + "'");
        auto key_of = [&](const char* what) {
            return [this, what](int t) { return key("ConvFp32", what + std::to_string(t)); };
        };
        if (m == 2) {
            pack_winograd(name, key_of(".winograd_u"), weight, C_out, C_in, &winograd_weight_transform_f32,
                          winograd_u, winograd_owner_);
            winograd_ready = true;
        } else if (m == 4) {
            pack_winograd(name, key_of(".winograd4_u"), weight, C_out, C_in, &winograd4_weight_transform_f32,
                          winograd4_u, winograd4_owner_);
            winograd4_ready = true;
            winograd4_min_extent_ = env && std::string(env) == "f4" ? 1 : 7;
        }
    }

    if (host && kH == 3 && kW == 3 && stride_h == 2 && stride_w == 2 && pad_h <= 1 && pad_w <= 1 && groups == 1 &&
        dilation_h == 1 && dilation_w == 1) {
        const char* env = std::getenv("VANTREL_FP32_WINOGRAD");
        if (choose_winograd(C_in, C_out, host, env) < 0)
            layer_fail(kOp, name,
                       std::string("VANTREL_FP32_WINOGRAD must be f2, f4, off or auto, got '") + env + "'");
        if (choose_winograd_s2(C_in, C_out, env)) {
            pack_winograd(name, [this](int t) { return key("ConvFp32", ".winograd_s2_u" + std::to_string(t)); },
                          weight, C_out, C_in, &winograd_s2_weight_transform_f32, winograd_u, winograd_owner_);
            winograd_s2_ready = true;
            winograd_s2_min_extent_ = env && (std::string(env) == "f2" || std::string(env) == "f4") ? 1 : 14;
        }
    }

    // The GEMM's reduction order is (ky, kx, c).
    std::vector<float> r(weight.size());
    if (kH == 1 && kW == 1)
        r = weight;
    else
        reorder_conv_weights_f32(weight.data(), r.data(), C_out, cin_g, kH, kW);

    if (groups == 1) {
        packed = pack_f32_shared(kOp, name, key("ConvFp32", ".weight"), r.data(), C_out, K, packed_owner_);
    } else if (depthwise()) {
        depthwise_taps.resize(weight.size());
        depthwise_weights_tap_major_f32(weight.data(), depthwise_taps.data(), C_out, kH, kW);
    } else if (be.kind == kBackendHost && grouped_direct_f32_suits(C_in, C_out, groups)) {
        grouped_taps.resize(weight.size());
        grouped_weights_tap_major_f32(weight.data(), grouped_taps.data(), C_in, C_out, groups, kH, kW);
    } else {
        const int32_t cog = C_out / groups;
        group_packed.resize(size_t(groups));
        group_owner_.resize(size_t(groups));
        for (int32_t g = 0; g < groups; ++g)
            group_packed[size_t(g)] =
                pack_f32_shared(kOp, name, key("ConvFp32", ".weight.group" + std::to_string(g)),
                                r.data() + size_t(g) * size_t(cog) * size_t(K), cog, K,
                                group_owner_[size_t(g)]);
    }
    channel_pick.clear();
    if (pixelwise() && be.kind == kBackendHost) {
        bool pick = true;
        for (float v : bias) pick = pick && v == 0.0f;
        std::vector<int32_t> src(size_t(C_out), -1);
        for (int64_t o = 0; o < C_out && pick; ++o) {
            const float* row = weight.data() + o * C_in;
            for (int32_t i = 0; i < C_in && pick; ++i) {
                if (row[i] == 1.0f && src[size_t(o)] < 0)
                    src[size_t(o)] = i;
                else if (row[i] != 0.0f)
                    pick = false;
            }
            pick = pick && src[size_t(o)] >= 0;
        }
        if (pick) channel_pick = std::move(src);
    }
    // The CPU kernels read the raw order only when no packed block is given;
    // a device backend gets the GEMM order.
    if (be.kind != kBackendHost) weight = std::move(r);
    loaded_ = true;
}

void ConvFp32::plan_scratch(Shape3 in, ScratchRequest& req) const {
    if (in.c <= 0 || in.h <= 0 || in.w <= 0) return;
    const uint64_t oh = uint64_t(conv_out_extent(in.h, kH, stride_h, pad_h, dilation_h));
    const uint64_t ow = uint64_t(conv_out_extent(in.w, kW, stride_w, pad_w, dilation_w));
    req.need(2, mul_sat(mul_sat(mul_sat(oh, ow), uint64_t(kH) * uint64_t(kW)), uint64_t(in.c) * 4));
    if (winograd_ready && dilation_h == 1 && dilation_w == 1) {
        const uint64_t tiles = ((oh + 1) / 2) * ((ow + 1) / 2);
        req.need(2, mul_sat(mul_sat(64, tiles), uint64_t(in.c) + uint64_t(C_out)));
    }
    if (winograd_s2_runs(int64_t(oh), int64_t(ow))) {
        // 25 input and product blocks of ceil(oh/2) * ceil(ow/2) tiles.
        const uint64_t tiles = ((oh + 1) / 2) * ((ow + 1) / 2);
        req.need(2, mul_sat(mul_sat(100, tiles), uint64_t(in.c) + uint64_t(C_out)));
    }
    if (winograd4_runs(int64_t(oh), int64_t(ow))) {
        // 36 input and product matrices of ceil(oh/4) * ceil(ow/4) tiles.
        const uint64_t tiles = ((oh + 3) / 4) * ((ow + 3) / 4);
        req.need(2, mul_sat(mul_sat(144, tiles), uint64_t(in.c) + uint64_t(C_out)));
    }
    if (grouped() && grouped_taps.empty() && in.c == C_in)
        req.need(2, mul_sat(uint64_t(grouped_conv_f32_scratch_floats(
                                C_in, in.h, in.w, C_out, groups, kH, kW, stride_h, stride_w,
                                pad_h, pad_w, dilation_h, dilation_w)),
                            4));
}

bool ConvFp32::epilogue_in_kernel() const {
    return active_backend_or_throw().kind == kBackendHost && !grouped();
}

bool ConvFp32::fuse_residual_add(const std::string& add_node, bool residual_first, bool relu) {
    if (residual_fused() || project_fused() || add_node.empty() || !epilogue_in_kernel()) return false;
    residual_node_ = add_node;
    residual_first_ = residual_first;
    residual_relu_ = relu;
    return true;
}

ConvEpilogueF32 ConvFp32::host_epilogue() const {
    ConvEpilogueF32 e;
    if (act != kActNone) {
        e.act = act;
        e.lo = clamp_min;
        e.hi = clamp_max;
    }
    e.row_unary = unary_;
    return e;
}

bool ConvFp32::fuse_unary(const std::string& node, EpilogueUnaryFnF32 fn) {
    if (unary_ || node.empty() || !fn || !epilogue_in_kernel() || act != kActNone || residual_fused() ||
        expand_fused() || project_fused() || !channel_pick.empty())
        return false;
    unary_ = fn;
    return true;
}

bool ConvFp32::fuse_silu(const std::string& silu_node) {
    return C_out % 4 == 0 && fuse_unary(silu_node, active_backend_or_throw().k_silu_f32);
}

bool ConvFp32::fuse_gelu_erf(const std::string& gelu_node) {
    return fuse_unary(gelu_node, active_backend_or_throw().k_gelu_erf_f32);
}

bool ConvFp32::fuse_channel_scale(const std::string& mul_node) {
    const Backend& be = active_backend_or_throw();
    if (scale_mul_ || mul_node.empty() || !be.k_channel_mul_f32 || !epilogue_in_kernel() || !pixelwise() ||
        expand_fused() || project_fused() || !channel_pick.empty() || !loaded_ || !packed.data)
        return false;
    scale_mul_ = be.k_channel_mul_f32;
    scale_node_ = mul_node;
    return true;
}

ExpandDepthwiseF32 ConvFp32::expand_params(const ConvFp32* e, const ConvFp32* q, const ConvEpilogueF32* epi) const {
    ExpandDepthwiseF32 p;
    if (e) {
        p.expand_bp = static_cast<const float*>(e->packed.data);
        p.expand_bias = e->bias.empty() ? nullptr : e->bias.data();
        p.expand_relu = e->relu;
        p.expand_epi = e->host_epilogue();
        p.cin = e->C_in;
        p.ekh = e->kH;
        p.ekw = e->kW;
        p.estride_h = e->stride_h;
        p.estride_w = e->stride_w;
        p.epad_h = e->pad_h;
        p.epad_w = e->pad_w;
    } else {
        p.cin = C_in;
    }
    p.cmid = C_in;
    p.dw_taps = depthwise_taps.data();
    p.dw_bias = bias.empty() ? nullptr : bias.data();
    p.dw_relu = relu;
    p.dw_epi = epi;
    p.cout = C_out;
    p.kh = kH;
    p.kw = kW;
    p.stride_h = stride_h;
    p.stride_w = stride_w;
    p.pad_h = pad_h;
    p.pad_w = pad_w;
    p.dil_h = dilation_h;
    p.dil_w = dilation_w;
    if (q) {
        p.project_bp = static_cast<const float*>(q->packed.data);
        p.project_bias = q->bias.empty() ? nullptr : q->bias.data();
        p.project_relu = q->relu;
        p.project_epi = q->host_epilogue();
        p.cproj = q->C_out;
    }
    return p;
}

bool ConvFp32::fuse_expand(ILayer& expand) {
    auto* e = dynamic_cast<ConvFp32*>(&expand);
    // The expansion runs its GEMM path: ungrouped, undilated, no Winograd.
    if (expand_ || project_ || !e || e == this || !depthwise() || residual_fused() || !loaded_ ||
        !epilogue_in_kernel() || e->groups != 1 || e->dilation_h != 1 || e->dilation_w != 1 || e->winograd_ready ||
        e->winograd4_ready || e->winograd_s2_ready || e->residual_fused() || e->expand_fused() || e->project_fused() ||
        !e->channel_pick.empty() || !e->loaded_ || !e->packed.data || e->C_out != C_in)
        return false;
    if (!expand_depthwise_f32_suits(expand_params(e, nullptr, nullptr))) return false;
    expand_ = e;
    return true;
}

bool ConvFp32::fuse_project(ILayer& project) {
    auto* q = dynamic_cast<ConvFp32*>(&project);
    if (project_ || !q || q == this || !depthwise() || residual_fused() || !loaded_ || !epilogue_in_kernel() ||
        !q->pixelwise() || q->expand_fused() || q->project_fused() || !q->channel_pick.empty() || !q->loaded_ ||
        !q->packed.data || q->C_in != C_out)
        return false;
    if (!expand_depthwise_f32_suits(expand_params(expand_, q, nullptr))) return false;
    project_ = q;
    return true;
}

bool ConvFp32::read_channel_prefix() {
    if (expand_ || !project_ || scale_mul_ || kH != 1 || kW != 1 || stride_h != 1 || stride_w != 1 || pad_h != 0 ||
        pad_w != 0 || dilation_h != 1 || dilation_w != 1 || C_out != C_in)
        return false;
    ExpandDepthwiseF32 p = expand_params(nullptr, project_, nullptr);
    p.in_stride = int64_t(C_in) + 1;
    if (!expand_depthwise_f32_suits(p)) return false;
    prefix_read_ = true;
    return true;
}

Shape3 ConvFp32::forward_banded(const TensorView* inputs, int num_inputs, const BufferView* output,
                                const ConvEpilogueF32& epi) {
    // The first layer's checks on the input, under its name, then the last
    // one's on the output (and the projection's residual under its add's).
    const ConvFp32& first = expand_ ? *expand_ : *this;
    const ConvFp32& last = project_ ? *project_ : *this;
    require_inputs(kOp, first.name, num_inputs, 1);
    if (!prefix_read_ || inputs[0].c < first.C_in) require_input_channels(kOp, first.name, inputs[0].c, first.C_in);
    if (!first.loaded_ || !loaded_ || !last.loaded_) layer_fail(kOp, name, "weights are not loaded");
    require_input_extent(kOp, first.name, inputs, 0, 4);
    const Shape3 os = output_shape(expand_ ? expand_->output_shape(inputs[0].shape()) : inputs[0].shape());
    const Shape3 ps{last.C_out, os.h, os.w};
    const int64_t n = element_count(ps);
    require_output_extent(kOp, last.name, output, n, 4);
    ExpandDepthwiseF32 p = expand_params(expand_, project_, epi.active() ? &epi : nullptr);
    if (prefix_read_) p.in_stride = inputs[0].c;
    Shape3 reported = ps;
    if (project_ && project_->residual_fused()) {
        static constexpr const char* kAddOp = "add_fp32";
        require_inputs(kOp, last.name, num_inputs, 2);
        reported = residual_operand_shape(kAddOp, project_->residual_node_, "convolution", last.name, inputs,
                                          project_->residual_first_, ps, n, 4);
        checked_int32_count(kAddOp, project_->residual_node_, n);
        p.project_epi.residual = static_cast<const float*>(inputs[1].data);
        p.project_epi.residual_relu = project_->residual_relu_;
        p.project_epi.relu_tail_from = n / 4 * 4;
    }
    const TensorView& x = inputs[0];
    if (os.h == 0 || os.w == 0 || x.h <= 0 || x.w <= 0) return reported;
    checked_int32_count(kOp, first.name, int64_t(x.h) * x.w);
    if (expand_) {
        const Shape3 mid = expand_->output_shape(x.shape());
        checked_int32_count(kOp, first.name, int64_t(mid.h) * mid.w * int64_t(expand_->K));
    }
    checked_int32_count(kOp, last.name, int64_t(os.h) * os.w);
    conv2d_f32_expand_depthwise(static_cast<const float*>(x.data), x.h, x.w, p, static_cast<float*>(output->data));
    return reported;
}

Shape3 ConvFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                         ExecContext* ctx) {
    const bool in_kernel = epilogue_in_kernel();
    ConvEpilogueF32 epi;
    if (in_kernel) epi = host_epilogue();
    if (expand_ || project_) return forward_banded(inputs, num_inputs, output, epi);
    // A folded channel scale is the last input; the rest reads as without it.
    const TensorView* scale = nullptr;
    if (scale_mul_) {
        require_inputs(kOp, name, num_inputs, residual_fused() ? 3 : 2);
        scale = &inputs[--num_inputs];
    }
    Shape3 reported{0, 0, 0};
    if (residual_fused()) {
        // The folded add's checks, under its name: input 0 of the add gives
        // the element count and the shape, the other operand must hold it.
        static constexpr const char* kAddOp = "add_fp32";
        if (!in_kernel) layer_fail(kOp, name, "a folded residual add runs on the host backend only");
        require_inputs(kOp, name, num_inputs, 2);
        const Shape3 conv_shape = output_shape(inputs[0].shape());
        const TensorView& r = inputs[1];
        const int64_t n = element_count(conv_shape);
        reported = residual_operand_shape(kAddOp, residual_node_, "convolution", name, inputs, residual_first_,
                                          conv_shape, n, 4);
        checked_int32_count(kAddOp, residual_node_, n);
        epi.residual = static_cast<const float*>(r.data);
        epi.residual_relu = residual_relu_;
        epi.relu_tail_from = n / 4 * 4;
    }
    if (scale) {
        // The folded channel_mul_fp32's checks, under its name: one factor
        // per channel of the image it scales.
        const Shape3 os = checked_io(kOp, inputs, num_inputs, output, 4, loaded_);
        static constexpr const char* kMulOp = "channel_mul_fp32";
        const int64_t ns = operand_elements(kMulOp, scale_node_, scale, 0, 4);
        require_input_holds(kMulOp, scale_node_, scale, 0, 4);
        if (ns != C_in)
            layer_fail(kMulOp, scale_node_, "input 1 has " + std::to_string(ns) +
                                                " elements, expected one per channel of input 0 (" +
                                                std::to_string(C_in) + ")");
        const TensorView& x = inputs[0];
        if (os.h > 0 && os.w > 0 && x.h > 0 && x.w > 0) {
            const int64_t pixels = int64_t(os.h) * os.w;
            checked_int32_count(kOp, name, pixels);
            conv1x1_f32_channel_scaled(static_cast<const float*>(x.data), static_cast<const float*>(scale->data),
                                       scale_mul_, pixels, C_in, static_cast<const float*>(packed.data),
                                       bias.empty() ? nullptr : bias.data(), relu, C_out, epi.active() ? &epi : nullptr,
                                       static_cast<float*>(output->data));
        }
        return residual_fused() ? reported : os;
    }
    if (!channel_pick.empty() && !residual_fused() && !relu && act == kActNone) {
        // A copy: no product can turn a picked inf or NaN into something else.
        const Shape3 os = checked_io(kOp, inputs, num_inputs, output, 4, loaded_);
        const float* in = static_cast<const float*>(inputs[0].data);
        float* out = static_cast<float*>(output->data);
        const int64_t pixels = int64_t(os.h) * os.w, cin = inputs[0].c;
        // Runs of consecutive channels (a split's halves are one run) go as one copy.
        std::vector<int64_t> run_start{0};
        for (int64_t o = 1; o < C_out; ++o)
            if (channel_pick[size_t(o)] != channel_pick[size_t(o - 1)] + 1) run_start.push_back(o);
        run_start.push_back(C_out);
        split_rows(pixels, pixels * C_out, true, [&](int64_t p0, int64_t p1) {
            for (int64_t p = p0; p < p1; ++p) {
                const float* x = in + p * cin;
                float* y = out + p * C_out;
                for (size_t r = 0; r + 1 < run_start.size(); ++r) {
                    const int64_t o = run_start[r];
                    std::memcpy(y + o, x + channel_pick[size_t(o)], size_t(run_start[r + 1] - o) * sizeof(float));
                }
            }
        }, kRowSplitMinCopyElements);
        return os;
    }
    const Shape3 os = convolve(inputs, num_inputs, output, ctx, &epi);
    if (residual_fused()) return reported;
    if (in_kernel || act == kActNone || inputs[0].h <= 0 || inputs[0].w <= 0) return os;
    const Backend& be = active_backend_or_throw();
    const int32_t n = checked_int32_count(kOp, name, element_count(os));
    float* out = static_cast<float*>(output->data);
    void* stream = ctx ? ctx->stream : nullptr;
    if (act == kActClamp) {
        if (!be.k_clamp_f32) layer_fail(kOp, name, "the active backend has no k_clamp_f32 kernel");
        be.k_clamp_f32(out, out, n, stream, clamp_min, clamp_max);
    } else {
        if (!be.k_hard_swish_f32) layer_fail(kOp, name, "the active backend has no k_hard_swish_f32 kernel");
        be.k_hard_swish_f32(out, out, n, stream);
    }
    return os;
}

Shape3 ConvFp32::convolve(const TensorView* inputs, int num_inputs, const BufferView* output,
                          ExecContext* ctx, const ConvEpilogueF32* epi) {
    const Backend& be = active_backend_or_throw();
    const Shape3 os = checked_io(kOp, inputs, num_inputs, output, 4, loaded_);
    const TensorView& x = inputs[0];
    const int64_t oh = os.h, ow = os.w;
    if (oh == 0 || ow == 0 || x.h <= 0 || x.w <= 0) return os;
    checked_int32_count(kOp, name, oh * ow);

    const float* in = static_cast<const float*>(x.data);
    float* out = static_cast<float*>(output->data);
    const float* b = bias.empty() ? nullptr : bias.data();
    void* stream = ctx ? ctx->stream : nullptr;
    // Scratch area 2 when it is large enough, else the kernel's own
    // per-thread buffer.
    auto scratch = [&](int64_t floats) -> float* {
        if (!ctx || floats <= 0 || !ctx->scratch[2].data) return nullptr;
        return ctx->scratch[2].bytes / 4 >= uint64_t(floats) ? static_cast<float*>(ctx->scratch[2].data)
                                                             : nullptr;
    };

    if (winograd_ready && dilation_h == 1 && dilation_w == 1) {
        checked_int32_count(kOp, name, ((oh + 1) / 2) * ((ow + 1) / 2));
        const float* u[16];
        for (int t = 0; t < 16; ++t) u[t] = static_cast<const float*>(winograd_u[t].data);
        float* area = scratch(conv2d_f32_wino_scratch_floats(2, x.c, oh, ow, C_out));
        if (epilogue_in_kernel()) {
            conv2d_f32_wino_epi(in, u, b, out, x.c, x.h, x.w, C_out, pad_h, pad_w, relu, area, epi);
        } else {  // padding 1 (load_weights)
            KConv2dF32Wino fn = be.k_conv2d_f32_wino ? be.k_conv2d_f32_wino : &k_conv2d_f32_wino;
            fn(in, u, b, out, x.c, x.h, x.w, C_out, relu, area, stream, weight.data());
        }
        return os;
    }
    if (winograd_s2_runs(oh, ow)) {
        checked_int32_count(kOp, name, 4 * (((oh + 1) / 2) * ((ow + 1) / 2)));  // its largest product's rows
        const float* u[16];
        for (int t = 0; t < 16; ++t) u[t] = static_cast<const float*>(winograd_u[t].data);
        float* area = scratch(conv2d_f32_wino_scratch_floats(kWinoStride2, x.c, oh, ow, C_out));
        conv2d_f32_wino_s2_epi(in, u, b, out, x.c, x.h, x.w, C_out, pad_h, pad_w, relu, area, epi);
        return os;
    }
    if (winograd4_runs(oh, ow)) {
        checked_int32_count(kOp, name, ((oh + 3) / 4) * ((ow + 3) / 4));
        const float* u[36];
        for (int t = 0; t < 36; ++t) u[t] = static_cast<const float*>(winograd4_u[t].data);
        float* area = scratch(conv2d_f32_wino_scratch_floats(4, x.c, oh, ow, C_out));
        conv2d_f32_wino4_epi(in, u, b, out, x.c, x.h, x.w, C_out, pad_h, pad_w, relu, area, epi);
        return os;
    }
    if (groups > 1) {
        // Computed here on the host; no kernel-table slot takes groups.
        if (be.kind != kBackendHost)
            layer_fail(kOp, name, "grouped convolution runs on the host backend only");
        if (depthwise()) {
            conv2d_f32_depthwise_epi(in, depthwise_taps.data(), b, out, x.c, x.h, x.w, C_out, kH, kW,
                                     stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w, relu,
                                     epi);
        } else if (!grouped_taps.empty()) {
            conv2d_f32_grouped_direct(in, grouped_taps.data(), b, out, x.c, x.h, x.w, C_out, groups, kH, kW,
                                      stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w, relu);
        } else {
            std::vector<const float*> bp(group_packed.size());
            for (size_t g = 0; g < bp.size(); ++g) bp[g] = static_cast<const float*>(group_packed[g].data);
            conv2d_f32_grouped(in, bp.data(), b, out, x.c, x.h, x.w, C_out, groups, kH, kW,
                               stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w, relu,
                               scratch(grouped_conv_f32_scratch_floats(
                                   x.c, x.h, x.w, C_out, groups, kH, kW, stride_h, stride_w,
                                   pad_h, pad_w, dilation_h, dilation_w)),
                               stream);
        }
        return os;
    }
    const bool direct = kH == 1 && kW == 1 && pad_h == 0 && pad_w == 0 && stride_h == 1 &&
                        stride_w == 1 && dilation_h == 1 && dilation_w == 1;
    const float* bp = static_cast<const float*>(packed.data);
    float* area = direct ? nullptr : scratch(oh * ow * int64_t(kH) * kW * x.c);
    if (epilogue_in_kernel()) {
        conv2d_f32_epi(in, weight.data(), b, out, x.c, x.h, x.w, C_out, kH, kW, stride_h, stride_w, pad_h,
                       pad_w, relu, bp, area, dilation_h, dilation_w, epi);
    } else {
        KConv2dF32 fn = be.k_conv2d_f32 ? be.k_conv2d_f32 : &k_conv2d_f32;
        fn(in, weight.data(), b, out, x.c, x.h, x.w, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, relu, bp,
           area, dilation_h, dilation_w, stream);
    }
    return os;
}

void ConvFp32::upload_weights(Allocator& alloc) {
    std::vector<const Buffer*> blocks{&packed};
    for (const Buffer& u : winograd_u) blocks.push_back(&u);
    for (const Buffer& u : winograd4_u) blocks.push_back(&u);
    for (const Buffer& g : group_packed) blocks.push_back(&g);
    upload_blocks(alloc, blocks);
}

std::unique_ptr<ILayer> create_conv_fp32(const LayerInit& in) {
    const LayerArgs& a = in.args;
    auto l = std::make_unique<ConvFp32>(in.name, a.i("C_out"), a.i("C_in"), a.i("kH"), a.i("kW"), a.i("stride_h"),
                                        a.i("stride_w"), a.i("pad_h"), a.i("pad_w"), a.i("groups"),
                                        a.i("dilation_h"), a.i("dilation_w"));
    l->act = a.i("act");
    if (l->act < ConvFp32::kActNone || l->act > ConvFp32::kActHardSwish)
        layer_fail(kOp, in.name, "argument 'act' must be 0 (none), 1 (clamp) or 2 (hard swish), got " +
                                     std::to_string(l->act));
    l->clamp_min = a.f("clamp_min");
    l->clamp_max = a.f("clamp_max");
    return l;
}

}  // namespace vantrel
