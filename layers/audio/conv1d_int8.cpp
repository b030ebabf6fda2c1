#include "layers/audio/conv1d_int8.h"

#include <algorithm>
#include <cmath>

#include "kernels/conv/conv1d_s8.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/conv/im2col_f32.h"
#include "layers/audio/conv1d_layer.h"
#include "layers/common/conv_geometry.h"
#include "layers/common/fetch_typed_tensor.h"
#include "layers/common/layer_buffers.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "conv1d_int8";


int64_t mul_checked(const std::string& node, int64_t a, int64_t b) { return checked_mul(kOp, node, a, b); }
}  // namespace

Conv1dInt8::Conv1dInt8(const std::string& node_name, int32_t C_out_, int32_t C_in_,
                       int32_t kernel_size_, int32_t stride_, int32_t padding_, int32_t dilation_,
                       int32_t groups_)
    : Conv1dLayer(kOp, "scratch size", node_name, C_out_, C_in_, kernel_size_, stride_, padding_, "dilation",
                  dilation_, 1, groups_),
      dilation(dilation_) {
    require_conv_groups(kOp, name, groups, C_in, C_out);
    // The im2col product's reduction length is a 32-bit extent.
    checked_int32_count(kOp, name, int64_t(kernel_size) * (C_in / groups));
}

void Conv1dInt8::load_weights(const WeightFetch& fetch) {
    const int64_t cg = C_in / groups, cog = C_out / groups, K = kernel_size;
    std::vector<int8_t> w;
    std::vector<float> ws, b;
    fetch_typed_tensor(kOp, name, fetch, name + ".weight_i8", int64_t(C_out) * K * cg, "int8", w);
    fetch_typed_tensor(kOp, name, fetch, name + ".w_scales", C_out, "float32", ws);
    for (size_t i = 0; i < ws.size(); ++i)
        if (!std::isfinite(ws[i]))
            layer_fail(kOp, name, "weight tensor '" + name + ".w_scales' entry " + std::to_string(i) +
                                      " is not finite");
    fetch_conv1d_bias(kOp, name, fetch, name + ".bias", C_out, b);
    const Backend& be = active_backend_or_throw();

    unbind();
    tap_packed.clear();
    group_packed.clear();
    owners_.clear();
    device_scale_ = Buffer();
    weight = std::move(w);
    w_scale = std::move(ws);
    bias = std::move(b);
    zero_bias.assign(size_t(C_out), 0);
    weight_sums.assign(size_t(C_out), 0);
    for (int64_t o = 0; o < C_out; ++o) {
        int64_t s = 0;
        for (int64_t i = 0; i < K * cg; ++i) s += weight[size_t(o * K * cg + i)];
        weight_sums[size_t(o)] = int32_t(s);  // |s| <= 128 * K * C_in/g fits
    }

    auto key = [&](const std::string& what) {
        return "Conv1dInt8:" + name + what + ":" + std::to_string(C_out) + "x" + std::to_string(C_in) + "x" +
               std::to_string(K) + "/" + std::to_string(groups);
    };
    // The host paths multiply on the CPU engine, so the CPU packs.
    auto packed = [](const std::string& k, const int8_t* w, int32_t n, int32_t kk,
                     std::shared_ptr<SharedPackedWeight>& owner) {
        Buffer block(pack_s8(w, n, kk), 0, packed_s8_bytes(n, kk),
                     [](void* q) { free_packed_s8(static_cast<int8_t*>(q)); });
        return share_host_packed_weight(k, std::move(block), owner);
    };
    if (per_tap()) {
        owners_.resize(size_t(K));
        std::vector<int8_t> m(size_t(C_out) * size_t(C_in));
        for (int64_t k = 0; k < K; ++k) {
            for (int64_t o = 0; o < C_out; ++o)
                for (int64_t c = 0; c < C_in; ++c) m[size_t(o * C_in + c)] = weight[size_t((o * K + k) * C_in + c)];
            tap_packed.push_back(packed(key(".tap" + std::to_string(k)), m.data(), C_out, C_in, owners_[size_t(k)]));
        }
    } else {
        owners_.resize(size_t(groups));
        // Group j's output channels are consecutive rows of the [o][k][c] weights.
        for (int64_t j = 0; j < groups; ++j)
            group_packed.push_back(packed(key(".group" + std::to_string(j)), weight.data() + j * cog * K * cg,
                                          int32_t(cog), int32_t(K * cg), owners_[size_t(j)]));
    }
    finish_load(be, weight);
}

int64_t Conv1dInt8::output_length(int64_t l) const {
    return conv_out_extent(l, kernel_size, stride, padding, dilation);
}

void Conv1dInt8::plan_scratch(Shape3 in, ScratchRequest& req) const {
    const Backend* be = active_backend_ptr();
    if (be && be->kind != kBackendHost) return;
    const uint64_t l = uint64_t(in.h < 1 ? 1 : in.h), l_out = uint64_t(std::max<int64_t>(output_length(l), 1));
    const uint64_t cg = uint64_t(C_in / groups), cog = uint64_t(C_out / groups), K = uint64_t(kernel_size);
    if (per_tap()) {
        const uint64_t rows = l + 2 * uint64_t(padding);
        req.need(0, mul_sat(rows, cg));
        req.need(5, mul_sat(rows, 4));
        if (K != 1) req.need(3, mul_sat(mul_sat(l_out, uint64_t(C_out)), 4));
    } else {
        const uint64_t cols = mul_sat(mul_sat(K, cg), l_out);
        req.need(2, mul_sat(cols, 4));
        req.need(0, cols);
        req.need(5, mul_sat(uint64_t(C_out), 4));
        if (groups > 1) req.need(3, mul_sat(mul_sat(l_out, cog), 4));
    }
}

void Conv1dInt8::run(const Backend& be, const Conv1dIo& io, ExecContext* ctx) {
    const TensorView& x = io.x;
    const int64_t l = io.l, l_out = io.l_out;
    const float* in = io.in;
    float* out = io.out;
    const float* b = io.bias;

    if (x.on_device != 0) {
        if (!be.k_conv1d_s8 || device_weight_.empty())
            layer_fail(kOp, name, "device input, but the active backend has no k_conv1d_s8 kernel or no "
                                  "device weights");
        be.k_conv1d_s8(in, static_cast<const int8_t*>(device_weight_.data),
                       static_cast<const float*>(device_scale_.data),
                       device_bias(), out, C_in,
                       int32_t(l), x.w, C_out, kernel_size, stride, padding, dilation, groups,
                       stream_of(ctx));
        return;
    }

    const int32_t Lo = int32_t(l_out);
    if (per_tap()) {
        const int64_t rows = l + 2 * int64_t(padding);
        int8_t* codes = scratch_or_own(ctx, 0, mul_checked(name, rows, C_in), own_codes_);
        float* scales = scratch_or_own(ctx, 5, rows, own_floats_[1]);
        float* tap_out = kernel_size > 1 ? scratch_or_own(ctx, 3, mul_checked(name, l_out, C_out), own_floats_[0])
                                         : nullptr;
        std::vector<const int8_t*> taps(tap_packed.size());
        for (size_t k = 0; k < taps.size(); ++k) taps[k] = static_cast<const int8_t*>(tap_packed[k].data);
        conv1d_s8_per_tap(in, l, C_in, padding, taps.data(), w_scale.data(), zero_bias.data(), b, out, Lo, C_out,
                          kernel_size, dilation, codes, scales, tap_out);
        return;
    }
    const int64_t cg = C_in / groups, cog = C_out / groups;
    const int64_t cols = mul_checked(name, mul_checked(name, kernel_size, cg), l_out);
    float* col = scratch_or_own(ctx, 2, cols, own_floats_[0]);
    int8_t* codes = scratch_or_own(ctx, 0, cols, own_codes_);
    float* sbuf = scratch_or_own(ctx, 5, cog, own_floats_[1]);
    float* group_out = groups > 1 ? scratch_or_own(ctx, 3, mul_checked(name, l_out, cog), own_floats_[2]) : nullptr;
    std::vector<const int8_t*> blocks(group_packed.size());
    for (size_t j = 0; j < blocks.size(); ++j) blocks[j] = static_cast<const int8_t*>(group_packed[j].data);
    conv1d_s8_im2col(in, l, C_in, blocks.data(), w_scale.data(), zero_bias.data(), b, weight_sums.data(), out, Lo,
                     C_out, kernel_size, stride, padding, dilation, groups, col, codes, sbuf, group_out);
}

void Conv1dInt8::upload_weights(Allocator& alloc) {
    if (!alloc.is_device()) return;
    upload_weight_and_bias(alloc, weight);
    device_scale_ = device_copy(alloc, w_scale);
}

void Conv1dInt8::release_host_weights() {
    std::vector<int8_t>().swap(own_codes_);
    for (auto& v : own_floats_) std::vector<float>().swap(v);
    release_uploaded(weight);
}

std::unique_ptr<ILayer> create_conv1d_int8(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<Conv1dInt8>(in.name, a.i("C_out"), a.i("C_in"), a.i("kernel_size"), a.i("stride"),
                                        a.i("padding"), a.i("dilation"), a.i("groups"));
}

}  // namespace vantrel
