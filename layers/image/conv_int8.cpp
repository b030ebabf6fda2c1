#include "layers/image/conv_int8.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernels/conv/conv2d_f32_wino.h"
#include "kernels/conv/conv2d_s8.h"
#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/conv/conv2d_s8_expand_dw.h"
#include "kernels/conv/conv2d_s8_wino.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/gemm/gemm_s8_split.h"
#include "kernels/quantize.h"
#include "layers/common/requant_weights.h"
#include "layers/common/packed_s8_buffer.h"
#include "layers/common/conv_geometry.h"
#include "layers/common/layer_checks.h"
#include "layers/common/residual_operand.h"
#include "layers/image/add_int8.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "conv_int8";

int32_t low32(int64_t v) { return int32_t(uint32_t(uint64_t(v))); }
}  // namespace

ConvInt8::ConvInt8(const std::string& node_name, int32_t C_out_, int32_t C_in_, int32_t kH_,
                   int32_t kW_, int32_t stride_h_, int32_t stride_w_, int32_t pad_h_,
                   int32_t pad_w_, int32_t groups_, int8_t in_zp_, int8_t out_zp_)
    : Conv2dLayer(kOp, node_name, C_out_, C_in_, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, groups_),
      in_zp(in_zp_), out_zp(out_zp_) {}

void ConvInt8::load_weights(const WeightFetch& fetch) {
    std::vector<int8_t> w;
    std::vector<float> rs;
    std::vector<int64_t> eb;
    fetch_requant_weights(kOp, name, fetch, int64_t(C_out) * K, C_out, w, rs, eb);
    const Backend& be = active_backend_or_throw();

    loaded_ = false;
    winograd_ready = false;
    packed = Buffer();
    packed_raw = Buffer();
    raw_owner_.reset();
    packed_owner_.reset();
    for (int t = 0; t < 16; ++t) {
        winograd_u[t] = Buffer();
        winograd_owner_[t].reset();
        wino_correction[t].clear();
    }
    wino_bias.clear();
    dw_weight.clear();
    dw_bias.clear();
    dw_layout.reset();
    device_blocks_.clear();
    weight = std::move(w);
    req_scale = std::move(rs);
    eff_bias = std::move(eb);

    requant_rows(req_scale, weight, K, multiplier, shift, row_sums);

    packed_raw = pack_s8_shared(kOp, name, key("ConvInt8", ".weight.raw"), weight.data(), C_out, K, raw_owner_);
    if (kH < 2 && kW < 2) {
        packed = borrowed_view(packed_raw);
    } else {
        // The GEMM's reduction order is (ky, kx, c), as the im2col columns run.
        std::vector<int8_t> r(weight.size());
        reorder_conv_weights_s8(weight.data(), r.data(), C_out, C_in / groups, kH, kW);
        packed = pack_s8_shared(kOp, name, key("ConvInt8", ".weight"), r.data(), C_out, K, packed_owner_);
    }

    // The integer Winograd's narrowed input transform and requantised
    // transformed weights cost up to a few output codes against the exact
    // im2col GEMM, so it runs by default only where it is clearly faster:
    // from 128 input channels (at 56 x 56 x 64 the GEMM was as fast alone
    // and faster within a ResNet-50 pass on 2 threads, narrower layers took
    // 1.15 to 1.5 times its time in Winograd: the 16 products are too
    // shallow to pay for the transforms) on images of kWinogradMinTiles
    // tiles and more (at 7 x 7 each of the 16/9 times larger weights serves
    // only 16 tiles, and within a pass, whose weights come from memory, the
    // GEMM ran faster on 1 and 2 threads).
    // VANTREL_INT8_WINOGRAD=on|off (read here) forces it at every 3x3
    // stride-1 layer or nowhere.
    winograd_forced_ = false;
    if (winograd_shape()) {
        const char* env = std::getenv("VANTREL_INT8_WINOGRAD");
        const bool on = env && std::strcmp(env, "on") == 0, off = env && std::strcmp(env, "off") == 0;
        if (env && !on && !off && std::strcmp(env, "auto") != 0)
            layer_fail(kOp, name, std::string("VANTREL_INT8_WINOGRAD must be on, off or auto, got '") + env + "'");
        winograd_forced_ = on;
        if (on || (!off && C_in >= kWinogradMinChannels)) prepare_winograd();
    }

    if (depthwise3x3() && (be.kind == kBackendHost || be.kind == 3)) {
        dw_weight.resize(weight.size());
        depthwise3x3_weights_tap_major_s8(weight.data(), dw_weight.data(), C_out);
        dw_bias.resize(size_t(C_out));
        for (size_t c = 0; c < size_t(C_out); ++c) dw_bias[c] = low32(eff_bias[c]);
        // The folded blocks run the kernel band by band; laid out once here.
        dw_layout = depthwise3x3_layout_s8(dw_weight.data(), dw_bias.data(), multiplier.data(), shift.data(), out_zp,
                                           C_out);
    }
    loaded_ = true;
}

void ConvInt8::prepare_winograd() {
    const size_t plane = size_t(C_out) * size_t(C_in);
    std::vector<float> u(16 * plane);
    float g[9], e[16];
    for (size_t oc = 0; oc < plane; ++oc) {
        for (int i = 0; i < 9; ++i) g[i] = float(weight[oc * 9 + size_t(i)]);
        // Exact in single precision: every entry is a multiple of 1/4 below 2^10.
        winograd_weight_transform_f32(g, e);
        for (int t = 0; t < 16; ++t) u[size_t(t) * plane + oc] = e[t];
    }
    std::vector<int8_t> q(plane);
    std::vector<int64_t> corr5(size_t(C_out), 0);
    for (int t = 0; t < 16; ++t) {
        const float* ut = u.data() + size_t(t) * plane;
        float m = 0.0f;
        for (size_t i = 0; i < plane; ++i) m = std::max(m, std::fabs(ut[i]));
        u_scale[t] = m > 0.0f ? m * 0.007874016f : 1.0f;
        const float inv = 1.0f / u_scale[t];
        for (size_t i = 0; i < plane; ++i) {
            float v = std::round(ut[i] * inv);  // half away from zero
            q[i] = int8_t(std::min(127.0f, std::max(-128.0f, v)));
        }
        wino_correction[t].resize(size_t(C_out));
        for (size_t o = 0; o < size_t(C_out); ++o) {
            int64_t s = 0;
            for (size_t c = 0; c < size_t(C_in); ++c) s += q[o * size_t(C_in) + c];
            wino_correction[t][o] = low32(s);
            if (t == 5) corr5[o] = s;
        }
        winograd_u[t] = pack_s8_shared(kOp, name, key("ConvInt8", ".winograd_u" + std::to_string(t)), q.data(),
                                       C_out, C_in, winograd_owner_[t]);
    }
    input_transform_scale = 0.25f;
    // Only position 5 of the input transform carries the zero point: swap
    // the kernel's fixed-point image of in_zp * sum(U_5) for the exact
    // in_zp * row_sum that eff_bias expects. With int8 weights 4 * u_scale[5]
    // lies in [2^-7, 10), so e5 is in [-6, 4] and both shifts are small.
    const QuantMultiplier m5 = quantize_multiplier(u_scale[5] / input_transform_scale);
    const int e5 = m5.shift;
    wino_bias.resize(size_t(C_out));
    for (size_t o = 0; o < size_t(C_out); ++o) {
        int64_t rsum = 0;
        for (size_t k = 0; k < size_t(K); ++k) rsum += weight[o * size_t(K) + k];
        // 128 bits so an absurd channel count cannot overflow the product.
        const __int128 p = (__int128(1) << (30 - e5)) + __int128(int64_t(in_zp) * corr5[o]) * m5.multiplier;
        // Only the low 32 bits are used, so wrap (defined in unsigned) rather
        // than overflow on a file's out-of-range eff_bias.
        wino_bias[o] = int64_t(uint64_t(eff_bias[o]) + uint64_t(int64_t(in_zp) * rsum) -
                               uint64_t(p >> (31 - e5)));
    }
    winograd_ready = true;
}

void ConvInt8::plan_scratch(Shape3 in, ScratchRequest& req) const {
    if (in.c <= 0 || in.h <= 0 || in.w <= 0) return;
    const uint64_t oh = uint64_t(conv_out_extent(in.h, kH, stride_h, pad_h, 1));
    const uint64_t ow = uint64_t(conv_out_extent(in.w, kW, stride_w, pad_w, 1));
    req.need(0, mul_sat(mul_sat(oh, ow), mul_sat(uint64_t(kH) * uint64_t(kW), uint64_t(in.c))));
    if (winograd_ready && winograd_shape()) {
        const uint64_t tiles = (uint64_t(in.h) / 2 + 1) * (uint64_t(in.w) / 2 + 1);
        req.need(0, mul_sat(16 * tiles, uint64_t(in.c)));
        req.need(1, mul_sat(64 * tiles, uint64_t(C_out)));
    }
}

bool ConvInt8::fuse_residual_add_int8(const std::string& add_node, bool residual_first, const ILayer& add) {
    const auto* a = dynamic_cast<const AddInt8*>(&add);
    if (residual_fused() || add_node.empty() || !a) return false;
    residual_node_ = add_node;
    residual_first_ = residual_first;
    add_in1_scale_ = a->in1_scale;
    add_in2_scale_ = a->in2_scale;
    add_out_scale_ = a->out_scale;
    add_in1_zp_ = a->in1_zp;
    add_in2_zp_ = a->in2_zp;
    add_out_zp_ = a->out_zp;
    add_ = add_s8::setup(add_in1_zp_, add_in2_zp_, add_out_zp_, add_in1_scale_, add_in2_scale_, add_out_scale_);
    return true;
}

Shape3 ConvInt8::output_shape(Shape3 input) const {
    Shape3 os = conv_output(expand_ ? expand_->conv_output(input, 1, 1) : input, 1, 1);
    if (project_) os.c = project_->C_out;
    return os;
}

bool ConvInt8::band_depthwise() const {
    const Backend& be = active_backend_or_throw();
    return loaded_ && be.kind == kBackendHost && depthwise3x3() && !dw_weight.empty() && pad_h == 1 &&
           pad_w == 1 && stride_h == stride_w && (stride_h == 1 || stride_h == 2) && !residual_fused();
}

bool ConvInt8::plain_pointwise() const {
    return loaded_ && kH == 1 && kW == 1 && stride_h == 1 && stride_w == 1 && pad_h == 0 && pad_w == 0 &&
           groups == 1 && !winograd_ready && packed.data && !expand_ && !project_;
}

bool ConvInt8::fuse_expand(ILayer& expand) {
    auto* e = dynamic_cast<ConvInt8*>(&expand);
    // The expansion runs its im2col GEMM path: ungrouped, no Winograd.
    if (expand_ || project_ || !e || e == this || !band_depthwise() || !e->loaded_ || e->groups != 1 ||
        e->winograd_ready || !e->packed.data || e->expand_ || e->project_ || e->residual_fused() || e->C_out != C_in)
        return false;
    expand_ = e;
    return true;
}

bool ConvInt8::fuse_project(ILayer& project) {
    auto* q = dynamic_cast<ConvInt8*>(&project);
    if (project_ || !q || q == this || !band_depthwise() || !q->plain_pointwise() || q->C_in != C_out) return false;
    project_ = q;
    return true;
}

Shape3 ConvInt8::forward_banded(const TensorView* inputs, int num_inputs, const BufferView* output,
                                ExecContext* ctx) {
    // The first layer's checks on the input, under its name, then the last
    // one's on the output (and the projection's residual under its add's).
    const ConvInt8& first = expand_ ? *expand_ : *this;
    const ConvInt8& last = project_ ? *project_ : *this;
    require_inputs(kOp, first.name, num_inputs, last.residual_fused() ? 2 : 1);
    require_input_channels(kOp, first.name, inputs[0].c, first.C_in);
    if (!first.loaded_ || !loaded_ || !last.loaded_) layer_fail(kOp, name, "weights are not loaded");
    require_input_extent(kOp, first.name, inputs, 0, 1);
    const Shape3 ps = output_shape(inputs[0].shape());
    const int64_t n = element_count(ps);
    require_output_extent(kOp, last.name, output, n, 1);
    const TensorView& x = inputs[0];
    ExpandDepthwiseS8 p;
    if (expand_) {
        p.expand_bp = static_cast<const int8_t*>(expand_->packed.data);
        p.expand_bias = expand_->eff_bias.data();
        p.expand_mult = expand_->multiplier.data();
        p.expand_shift = expand_->shift.data();
        p.expand_in_zp = expand_->in_zp;
        p.expand_out_zp = expand_->out_zp;
        p.ekh = expand_->kH;
        p.ekw = expand_->kW;
        p.estride_h = expand_->stride_h;
        p.estride_w = expand_->stride_w;
        p.epad_h = expand_->pad_h;
        p.epad_w = expand_->pad_w;
    }
    p.cin = first.C_in;
    p.dw_layout = dw_layout.get();
    p.dw_taps = dw_weight.data();
    p.dw_bias = dw_bias.data();
    p.dw_mult = multiplier.data();
    p.dw_shift = shift.data();
    p.dw_in_zp = in_zp;
    p.dw_out_zp = out_zp;
    p.c = C_out;
    p.stride = stride_h;
    if (project_) {
        p.project_bp = static_cast<const int8_t*>(project_->packed.data);
        p.project_bias = project_->eff_bias.data();
        p.project_mult = project_->multiplier.data();
        p.project_shift = project_->shift.data();
        p.project_out_zp = project_->out_zp;
        p.cproj = project_->C_out;
    }
    Shape3 reported = ps;
    S8ResidualAdd ra{};
    bool add_after = false;
    if (last.residual_fused()) {
        static constexpr const char* kAddOp = "add_int8";
        reported = residual_operand_shape(kAddOp, last.residual_node_, "convolution", last.name, inputs,
                                          last.residual_first_, ps, n, 1);
        checked_int32_count(kAddOp, last.residual_node_, n);
        // The projection's epilogue takes the add when every element is one
        // of the add's whole 16-element blocks; otherwise the add's kernel
        // runs over the output afterwards.
        if (last.add_.fast && n % add_s8::kFastBlock == 0) {
            const add_s8::Params& a = last.add_;
            ra = S8ResidualAdd{static_cast<const int8_t*>(inputs[1].data), last.residual_first_ ? a.qb : a.qa,
                               last.residual_first_ ? a.qa : a.qb, a.k_round};
            p.residual = &ra;
        } else {
            add_after = true;
        }
    }
    if (ps.h == 0 || ps.w == 0 || x.h <= 0 || x.w <= 0) return reported;
    checked_int32_count(kOp, first.name, int64_t(x.h) * x.w);
    if (expand_) {
        const Shape3 mid = expand_->output_shape(x.shape());
        if (mid.h == 0 || mid.w == 0) return reported;
        checked_int32_count(kOp, first.name, int64_t(mid.h) * mid.w * int64_t(expand_->K));
    }
    checked_int32_count(kOp, last.name, int64_t(ps.h) * ps.w);
    int8_t* out = static_cast<int8_t*>(output->data);
    conv2d_s8_expand_depthwise(static_cast<const int8_t*>(x.data), x.h, x.w, p, out);
    if (add_after) {
        const Backend& be = active_backend_or_throw();
        const int8_t* res = static_cast<const int8_t*>(inputs[1].data);
        const int8_t* a = last.residual_first_ ? res : out;
        const int8_t* b = last.residual_first_ ? out : res;
        require_kernel("add_int8", last.residual_node_, be.k_add_s8, "k_add_s8")(
            a, b, last.add_in1_zp_, last.add_in2_zp_, last.add_out_zp_, out, int32_t(n), ctx ? ctx->stream : nullptr,
            last.add_in1_scale_, last.add_in2_scale_, last.add_out_scale_);
    }
    return reported;
}

Shape3 ConvInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                         ExecContext* ctx) {
    if (expand_ || project_) return forward_banded(inputs, num_inputs, output, ctx);
    if (!residual_fused()) {
        require_inputs(kOp, name, num_inputs, 1);
        return convolve(inputs, output, ctx);
    }
    // The folded add's checks, under its name: input 0 of the add gives the
    // element count and the shape, the other operand must hold it.
    static constexpr const char* kAddOp = "add_int8";
    require_inputs(kOp, name, num_inputs, 2);
    const Shape3 conv_shape = checked_io(kOp, inputs, 1, output, 1, loaded_);
    const TensorView& r = inputs[1];
    const int64_t n = element_count(conv_shape);
    const Shape3 reported = residual_operand_shape(kAddOp, residual_node_, "convolution", name, inputs,
                                                   residual_first_, conv_shape, n, 1);
    const int32_t n32 = checked_int32_count(kAddOp, residual_node_, n);
    const Backend& be = active_backend_or_throw();
    const TensorView& x = inputs[0];
    int8_t* out = static_cast<int8_t*>(output->data);
    const int8_t* res = static_cast<const int8_t*>(r.data);
    // The copy-free 1x1 GEMM takes the add into its epilogue when every
    // element is one of the add's whole 16-element blocks.
    if (be.kind == kBackendHost && kH == 1 && kW == 1 && stride_h == 1 && stride_w == 1 && pad_h == 0 &&
        pad_w == 0 && groups == 1 && add_.fast && n % add_s8::kFastBlock == 0 && n > 0 && x.h > 0 && x.w > 0) {
        const int64_t m = int64_t(x.h) * x.w;
        S8ResidualAdd ra{res, residual_first_ ? add_.qb : add_.qa, residual_first_ ? add_.qa : add_.qb,
                         add_.k_round};
        gemm_s8_s8out_residual(static_cast<const int8_t*>(x.data), static_cast<const int8_t*>(packed.data),
                               eff_bias.data(), multiplier.data(), shift.data(), out_zp, out,
                               checked_int32_count(kOp, name, m), K, C_out, ra);
        return reported;
    }
    convolve(inputs, output, ctx);
    // In place: each element of the output is read before it is written.
    const int8_t* a = residual_first_ ? res : out;
    const int8_t* b = residual_first_ ? out : res;
    require_kernel(kAddOp, residual_node_, be.k_add_s8, "k_add_s8")(
        a, b, add_in1_zp_, add_in2_zp_, add_out_zp_, out, n32, ctx ? ctx->stream : nullptr, add_in1_scale_,
        add_in2_scale_, add_out_scale_);
    return reported;
}

Shape3 ConvInt8::convolve(const TensorView* inputs, const BufferView* output, ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const Shape3 os = checked_io(kOp, inputs, 1, output, 1, loaded_);
    const TensorView& x = inputs[0];
    const int64_t oh = os.h, ow = os.w;
    if (oh == 0 || ow == 0) return os;
    checked_int32_count(kOp, name, oh * ow);
    int8_t* out = static_cast<int8_t*>(output->data);

    if (x.h <= 0 || x.w <= 0) {
        // Every tap lies in the padding and reads in_zp.
        for (int64_t n = 0; n < C_out; ++n) {
            const int8_t y = requantize(int32_t(int64_t(in_zp) * row_sums[size_t(n)]), low32(eff_bias[size_t(n)]),
                                        multiplier[size_t(n)], shift[size_t(n)], out_zp);
            for (int64_t p = 0; p < oh * ow; ++p) out[p * C_out + n] = y;
        }
        return os;
    }

    const int8_t* in = static_cast<const int8_t*>(x.data);
    void* stream = ctx ? ctx->stream : nullptr;
    // A scratch area when it holds `bytes`, else null (the kernel allocates).
    auto area = [&](int i, uint64_t bytes) -> void* {
        if (!ctx || bytes == 0 || !ctx->scratch[i].data || ctx->scratch[i].bytes < bytes) return nullptr;
        return ctx->scratch[i].data;
    };

    const uint64_t tiles = ((uint64_t(x.h) + 1) / 2) * ((uint64_t(x.w) + 1) / 2);
    if (winograd_ready && be.kind == kBackendHost && (winograd_forced_ || tiles >= uint64_t(kWinogradMinTiles))) {
        checked_int32_count(kOp, name, int64_t(tiles));
        const int8_t* u[16];
        const int32_t* corr[16];
        for (int t = 0; t < 16; ++t) {
            u[t] = static_cast<const int8_t*>(winograd_u[t].data);
            corr[t] = wino_correction[t].empty() ? nullptr : wino_correction[t].data();
        }
        KConv2dS8Wino fn = be.k_conv2d_s8_wino ? be.k_conv2d_s8_wino : &k_conv2d_s8_wino;
        fn(in, u, u_scale, wino_bias.data(), multiplier.data(), shift.data(), req_scale.data(), in_zp,
           input_transform_scale, out_zp, out, x.c, x.h, x.w, C_out,
           static_cast<int8_t*>(area(0, mul_sat(16 * tiles, uint64_t(x.c)))),
           static_cast<int32_t*>(area(1, mul_sat(64 * tiles, uint64_t(C_out)))), corr, stream);
        return os;
    }

    KConv2dS8 conv = be.k_conv2d_s8 ? be.k_conv2d_s8 : &k_conv2d_s8;
    const uint64_t cols = uint64_t(kH) * uint64_t(kW) * uint64_t(x.c);
    const bool device = be.kind == 1 || be.kind == 2 || be.kind == 3;
    if (groups <= 1 || device) {
        conv(in, weight.data(), static_cast<const int8_t*>(packed.data), eff_bias.data(), multiplier.data(),
             shift.data(), in_zp, out_zp, out, x.c, x.h, x.w, C_out, kH, kW, stride_h, stride_w, pad_h,
             pad_w, groups, static_cast<int8_t*>(area(0, mul_sat(uint64_t(oh * ow), cols))), true,
             row_sums.data(), stream);
        return os;
    }
    if (!dw_weight.empty() && pad_h == 1 && pad_w == 1 && stride_h == stride_w &&
        (stride_h == 1 || stride_h == 2)) {
        conv2d_s8_depthwise3x3(in, dw_weight.data(), dw_bias.data(), multiplier.data(), shift.data(), in_zp,
                               out_zp, out, x.c, x.h, x.w, stride_h);
        return os;
    }
    // Every other grouping: the kernel convolves each group with its own
    // input channels (its depthwise branch covers the remaining 3x3 cases).
    conv(in, weight.data(), nullptr, eff_bias.data(), multiplier.data(), shift.data(), in_zp, out_zp, out,
         x.c, x.h, x.w, C_out, kH, kW, stride_h, stride_w, pad_h, pad_w, groups,
         static_cast<int8_t*>(area(0, mul_sat(uint64_t(oh * ow), cols / uint64_t(groups)))), false,
         row_sums.data(), stream);
    return os;
}

void ConvInt8::upload_weights(Allocator& alloc) {
    std::vector<const Buffer*> blocks{&packed_raw};
    if (packed.data != packed_raw.data) blocks.push_back(&packed);
    for (const Buffer& u : winograd_u) blocks.push_back(&u);
    upload_blocks(alloc, blocks);
}

std::unique_ptr<ILayer> create_conv_int8(const LayerInit& in) {
    // Zero points keep their low 8 bits.
    const LayerArgs& a = in.args;
    return std::make_unique<ConvInt8>(in.name, a.i("C_out"), a.i("C_in"), a.i("kH"), a.i("kW"), a.i("stride_h"),
                                      a.i("stride_w"), a.i("pad_h"), a.i("pad_w"), a.i("groups"),
                                      int8_t(a.i("in_zp")), int8_t(a.i("out_zp")));
}

}  // namespace vantrel
