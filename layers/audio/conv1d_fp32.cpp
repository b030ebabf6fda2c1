#include "layers/audio/conv1d_fp32.h"

#include <cstdlib>
#include <cstring>

#include "kernels/conv/conv1d_f32_direct.h"
#include "kernels/conv/conv1d_f32_wino.h"
#include "kernels/conv/conv1d_pad_rows_f32.h"
#include "kernels/conv/conv2d_f32.h"
#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/conv2d_f32_grouped.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/conv/im2col_f32.h"
#include "layers/audio/conv1d_layer.h"
#include "layers/common/conv_geometry.h"
#include "layers/common/layer_buffers.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "conv1d_fp32";

uint64_t add_sat(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

int64_t mul_checked(const std::string& node, int64_t a, int64_t b) { return checked_mul(kOp, node, a, b); }

Buffer packed_block(const float* w, int32_t n, int32_t k) {
    return Buffer(pack_f32(w, n, k), 0, packed_f32_bytes(n, k),
                  [](void* p) { free_packed_f32(static_cast<float*>(p)); });
}

bool is_separator(char ch) { return ch == ' ' || ch == ',' || ch == ':' || ch == ';'; }

// Whether TAMBOR_FP32_CONV1D_DIRECT asks for the direct kernel at this size.
bool direct_requested(const char* env, int32_t kernel_size) {
    if (!env || !*env || env[0] == '0' || std::strcmp(env, "wino") == 0) return false;
    if (std::strcmp(env, "1") == 0 || std::strcmp(env, "all") == 0) return true;
    const char* s = env;
    for (;;) {
        while (is_separator(*s)) ++s;
        char* end = nullptr;
        const long v = std::strtol(s, &end, 10);
        if (end == s) return false;
        if (v == kernel_size) return true;
        s = end;
    }
}
}  // namespace

Conv1dFp32::Conv1dFp32(const std::string& node_name, int32_t C_out_, int32_t C_in_,
                       int32_t kernel_size_, int32_t stride_, int32_t padding_, int32_t dilation_,
                       int32_t groups_)
    : Conv1dLayer(kOp, "scratch size", node_name, C_out_, C_in_, kernel_size_, stride_, padding_, "dilation",
                  dilation_, 1, groups_),
      dilation(dilation_) {
    require_conv_groups(kOp, name, groups, C_in, C_out);
    // The GEMM's reduction length is a 32-bit extent.
    checked_int32_count(kOp, name, int64_t(kernel_size) * C_in);
}

Conv1dFp32::Path Conv1dFp32::choose_path(int32_t k, int32_t stride, int32_t dilation,
                                         int32_t groups, const char* direct_env) {
    if (groups != 1 || stride != 1) return Path::Generic;
    if (k == 1) return Path::Pointwise;
    if (direct_requested(direct_env, k)) return Path::Direct;
    // F(2,11) is not a default: its interpolation points up to ±5 cost about
    // three decimal digits in float32 (1e-2 relative error at 64 channels),
    // while the direct kernel stays within 1e-6.
    if (dilation == 1 && (k == 3 || k == 7)) return Path::Winograd;
    return Path::Direct;
}

void Conv1dFp32::load_weights(const WeightFetch& fetch) {
    const int64_t cig = C_in / groups, K = kernel_size;
    std::vector<float> w, b;
    fetch_f32_tensor(kOp, name, fetch, name + ".weight", int64_t(C_out) * cig * K, true, w);
    fetch_conv1d_bias(kOp, name, fetch, name + ".bias", C_out, b);
    const Backend& be = active_backend_or_throw();

    unbind();
    generic_packed = Buffer();
    group_packed.clear();
    depthwise_taps.clear();
    pointwise_packed.clear();
    winograd_packed.clear();
    direct_packed = Buffer();
    bias = std::move(b);

    weight_r.assign(w.size(), 0.0f);
    for (int64_t o = 0; o < C_out; ++o)
        for (int64_t c = 0; c < cig; ++c)
            for (int64_t k = 0; k < K; ++k) weight_r[size_t((o * K + k) * cig + c)] = w[size_t((o * cig + c) * K + k)];

    path_ = choose_path(kernel_size, stride, dilation, groups, std::getenv("TAMBOR_FP32_CONV1D_DIRECT"));
    switch (path_) {
        case Path::Generic:
            if (groups == 1) {
                generic_packed = packed_block(weight_r.data(), C_out, int32_t(K * cig));
            } else if (groups == C_in) {
                depthwise_taps.resize(w.size());
                depthwise_weights_tap_major_f32(w.data(), depthwise_taps.data(), C_out, kernel_size, 1);
            } else {
                const int64_t cog = C_out / groups;
                for (int64_t g = 0; g < groups; ++g)
                    group_packed.push_back(packed_block(weight_r.data() + g * cog * K * cig,
                                                        int32_t(cog), int32_t(K * cig)));
            }
            break;
        case Path::Pointwise:
            pointwise_packed.push_back(packed_block(weight_r.data(), C_out, C_in));
            break;
        case Path::Winograd: {
            const Conv1dWinograd& wt = *conv1d_winograd_for(kernel_size);
            const int64_t plane = int64_t(C_out) * C_in;
            std::vector<float> u(size_t(wt.n * plane));
            conv1d_wino_filter_transform(wt, weight_r.data(), u.data(), C_out, C_in);
            for (int t = 0; t < wt.n; ++t) winograd_packed.push_back(packed_block(u.data() + t * plane, C_out, C_in));
            break;
        }
        case Path::Direct: {
            const int64_t n = conv1d_direct_packed_floats(C_out, kernel_size, C_in);
            float* block = new float[size_t(n)];
            direct_packed = Buffer(block, 0, uint64_t(n) * 4, [](void* p) { delete[] static_cast<float*>(p); });
            conv1d_direct_pack_f32(weight_r.data(), block, C_out, kernel_size, C_in);
            break;
        }
    }
    finish_load(be, weight_r);
}

int64_t Conv1dFp32::output_length(int64_t l) const {
    return conv_out_extent(l, kernel_size, stride, padding, dilation);
}

void Conv1dFp32::plan_scratch(Shape3 in, ScratchRequest& req) const {
    const int64_t l = in.h < 0 ? 0 : in.h, l_out = output_length(l);
    if (l_out == 0) return;
    const Backend* be = active_backend_ptr();
    const BackendKind kind = be ? be->kind : kBackendHost;
    const uint64_t cig = uint64_t(C_in / groups);
    uint64_t floats = mul_sat(mul_sat(uint64_t(kernel_size), uint64_t(l_out)), cig);
    auto raise = [&](uint64_t f) { floats = f > floats ? f : floats; };
    if (kind != 1 && kind != 2 && groups == 1 && stride == 1) {
        const int64_t lp = l + 2 * int64_t(padding);
        const Conv1dWinograd* wt = dilation == 1 ? conv1d_winograd_for(kernel_size) : nullptr;
        if (wt) {
            const int64_t tiles = conv1d_wino_tiles(*wt, l_out);
            raise(add_sat(mul_sat(mul_sat(uint64_t(wt->n), uint64_t(tiles)), uint64_t(C_in) + uint64_t(C_out)),
                          mul_sat(uint64_t(conv1d_wino_padded_rows(*wt, tiles, lp)), uint64_t(C_in))));
        } else {
            raise(mul_sat(uint64_t(lp), uint64_t(C_in)));
        }
    }
    if (groups > 1 && groups < C_in)
        raise(uint64_t(grouped_conv_f32_scratch_floats(C_in, int32_t(l), 1, C_out, groups, kernel_size, 1,
                                                       stride, 1, padding, 0, dilation, 1)));
    req.need(2, mul_sat(floats, 4));
}

float* Conv1dFp32::scratch_floats(ExecContext* ctx, int64_t n) {
    return scratch_or_own(ctx, 2, n, own_scratch_);
}

void Conv1dFp32::run(const Backend& be, const Conv1dIo& io, ExecContext* ctx) {
    const TensorView& x = io.x;
    const int64_t l = io.l, l_out = io.l_out;
    const float* in = io.in;
    float* out = io.out;
    const float* b = io.bias;
    void* stream = stream_of(ctx);
    const int32_t L = int32_t(l), Lo = int32_t(l_out);

    if (x.on_device == 1 || x.on_device == 2 || (x.on_device == 3 && groups == 1 && be.k_conv1d_f32)) {
        // The device computes the whole convolution from the rearranged weights.
        const float* wd = device_weight_.empty() ? weight_r.data() : static_cast<const float*>(device_weight_.data);
        const float* bd = device_bias_.empty() ? b : static_cast<const float*>(device_bias_.data);
        if (weight_r.empty() && device_weight_.empty())
            layer_fail(kOp, name, "device input, but the weights were bound for the host");
        if (x.on_device == 3) {
            be.k_conv1d_f32(in, wd, bd, out, C_in, L, C_out, kernel_size, stride, padding, dilation, relu, stream);
            return;
        }
        if (groups != 1) layer_fail(kOp, name, "grouped convolution runs on the host only");
        if (!be.k_conv2d_f32) layer_fail(kOp, name, "the active backend has no k_conv2d_f32 kernel");
        be.k_conv2d_f32(in, wd, bd, out, C_in, L, 1, C_out, kernel_size, 1, stride, 1, padding, 0, relu,
                        nullptr, ctx ? static_cast<float*>(ctx->scratch[2].data) : nullptr, dilation, 1, stream);
        return;
    }

    const int64_t lp = l + 2 * int64_t(padding);
    // Unit-stride paths read a padded copy when there is padding.
    auto padded_input = [&](int64_t rows, float* dst) {
        conv1d_pad_rows_f32(in, l, C_in, padding, rows, dst);
        return dst;
    };
    switch (path_) {
        case Path::Winograd: {
            const Conv1dWinograd& wt = *conv1d_winograd_for(kernel_size);
            const int64_t tiles = conv1d_wino_tiles(wt, l_out);
            const int64_t rows = conv1d_wino_padded_rows(wt, tiles, lp);
            const int64_t pad_f = mul_checked(name, rows, C_in);
            const int64_t v_f = mul_checked(name, wt.n * tiles, C_in);
            const int64_t m_f = mul_checked(name, wt.n * tiles, C_out);
            float* s = scratch_floats(ctx, pad_f + v_f + m_f);
            const float* u[12];
            for (int t = 0; t < wt.n; ++t) u[t] = static_cast<const float*>(winograd_packed[size_t(t)].data);
            conv1d_f32_wino(padded_input(rows, s), u, b, out, C_in, Lo, C_out, kernel_size, relu, s + pad_f,
                            s + pad_f + v_f);
            break;
        }
        case Path::Pointwise: {
            const float* src = padding > 0 ? padded_input(lp, scratch_floats(ctx, mul_checked(name, lp, C_in))) : in;
            gemm_f32(src, static_cast<const float*>(pointwise_packed[0].data), b, out, relu, Lo, C_in, C_out, false);
            break;
        }
        case Path::Direct: {
            const float* src = padding > 0 ? padded_input(lp, scratch_floats(ctx, mul_checked(name, lp, C_in))) : in;
            conv1d_f32_direct(src, static_cast<const float*>(direct_packed.data), b, out, C_in, Lo, C_out,
                              kernel_size, dilation, relu);
            break;
        }
        case Path::Generic:
            if (groups == 1) {
                const int64_t cols = mul_checked(name, mul_checked(name, C_in, kernel_size), l_out);
                k_conv2d_f32(in, weight_r.empty() ? nullptr : weight_r.data(), b, out, C_in, L, 1, C_out,
                             kernel_size, 1, stride, 1, padding, 0, relu,
                             static_cast<const float*>(generic_packed.data), scratch_floats(ctx, cols), dilation,
                             1, stream);
            } else if (groups == C_in) {
                conv2d_f32_depthwise(in, depthwise_taps.data(), b, out, C_in, L, 1, C_out, kernel_size, 1,
                                     stride, 1, padding, 0, dilation, 1, relu, stream);
            } else {
                std::vector<const float*> bp(group_packed.size());
                for (size_t g = 0; g < bp.size(); ++g) bp[g] = static_cast<const float*>(group_packed[g].data);
                const int64_t f = grouped_conv_f32_scratch_floats(C_in, L, 1, C_out, groups, kernel_size, 1,
                                                                  stride, 1, padding, 0, dilation, 1);
                conv2d_f32_grouped(in, bp.data(), b, out, C_in, L, 1, C_out, groups, kernel_size, 1, stride, 1,
                                   padding, 0, dilation, 1, relu, scratch_floats(ctx, f), stream);
            }
            break;
    }
}

void Conv1dFp32::upload_weights(Allocator& alloc) {
    if (!alloc.is_device()) return;
    upload_weight_and_bias(alloc, weight_r);
}

void Conv1dFp32::release_host_weights() {
    std::vector<float>().swap(own_scratch_);
    release_uploaded(weight_r);
}

std::unique_ptr<ILayer> create_conv1d_fp32(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<Conv1dFp32>(in.name, a.i("C_out"), a.i("C_in"), a.i("kernel_size"), a.i("stride"),
                                        a.i("padding"), a.i("dilation"), a.i("groups"));
}

}  // namespace vantrel
