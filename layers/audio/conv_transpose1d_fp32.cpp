#include "layers/audio/conv_transpose1d_fp32.h"

#include "kernels/conv/conv_transpose1d_f32.h"
#include "kernels/gemm/gemm_f32.h"
#include "layers/audio/conv1d_layer.h"
#include "layers/common/conv_geometry.h"
#include "layers/common/layer_buffers.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "conv_transpose1d_fp32";


int64_t mul_checked(const std::string& node, int64_t a, int64_t b) {
    return checked_mul(kOp, node, a, b, "tensor size");
}
}  // namespace

ConvTranspose1dFp32::ConvTranspose1dFp32(const std::string& node_name, int32_t C_out_, int32_t C_in_,
                                         int32_t kernel_size_, int32_t stride_, int32_t padding_,
                                         int32_t output_padding_, int32_t groups_)
    : Conv1dLayer(kOp, "tensor size", node_name, C_out_, C_in_, kernel_size_, stride_, padding_, "output_padding",
                  output_padding_, 0, groups_),
      output_padding(output_padding_) {
    // Output positions past the last stride would receive no term at all.
    if (output_padding >= stride)
        layer_fail(kOp, name, "argument 'output_padding' (" + std::to_string(output_padding) +
                                  ") must be below stride (" + std::to_string(stride) + ")");
    require_conv_groups(kOp, name, groups, C_in, C_out);
}

bool ConvTranspose1dFp32::device_groups_ok() const {
    return groups == 1 || (C_in / groups == 1 && C_out / groups == 1);
}

BackendKind ConvTranspose1dFp32::device_kind() const {
    const Backend& be = active_backend_or_throw();
    if (be.kind == 3 && device_groups_ok() && be.k_conv_transpose1d_f32) return 3;
    return kBackendHost;
}

void ConvTranspose1dFp32::load_weights(const WeightFetch& fetch) {
    const int64_t cog = C_out / groups, K = kernel_size;
    std::vector<float> w, b;
    fetch_f32_tensor(kOp, name, fetch, name + ".weight", int64_t(C_in) * cog * K, true, w);
    fetch_conv1d_bias(kOp, name, fetch, name + ".bias", C_out, b);
    const Backend& be = active_backend_or_throw();

    unbind();
    tap_packed.clear();
    group_weight.clear();
    owners_.clear();
    weight = std::move(w);
    bias = std::move(b);

    if (groups == 1) {
        owners_.resize(size_t(K));
        std::vector<float> m(size_t(C_out) * size_t(C_in));
        for (int64_t k = 0; k < K; ++k) {
            for (int64_t o = 0; o < C_out; ++o)
                for (int64_t c = 0; c < C_in; ++c) m[size_t(o * C_in + c)] = weight[size_t((c * C_out + o) * K + k)];
            const std::string key = "ConvTranspose1dFp32:" + name + ".tap" + std::to_string(k) + ":" +
                                    std::to_string(C_out) + "x" + std::to_string(C_in) + "x" + std::to_string(K);
            // The host path multiplies on the CPU engine, so the CPU packs.
            Buffer block(pack_f32(m.data(), C_out, C_in), 0, packed_f32_bytes(C_out, C_in),
                         [](void* q) { free_packed_f32(static_cast<float*>(q)); });
            tap_packed.push_back(share_host_packed_weight(key, std::move(block), owners_[size_t(k)]));
        }
    } else {
        group_weight.resize(weight.size());
        conv_transpose1d_group_weights(weight.data(), group_weight.data(), C_in, C_out, kernel_size, groups);
    }
    finish_load(be, weight);
}

int64_t ConvTranspose1dFp32::output_length(int64_t l) const {
    return conv_transpose1d_out_length(l, kernel_size, stride, padding, output_padding);
}

void ConvTranspose1dFp32::plan_scratch(Shape3 in, ScratchRequest& req) const {
    const Backend* be = active_backend_ptr();
    if ((be && be->kind != kBackendHost) || groups != 1) return;
    const uint64_t l = uint64_t(in.h < 1 ? 1 : in.h);
    req.need(2, mul_sat(mul_sat(l, uint64_t(C_out)), 4));
}

void ConvTranspose1dFp32::run(const Backend& be, const Conv1dIo& io, ExecContext* ctx) {
    const TensorView& x = io.x;
    const int64_t l = io.l, l_out = io.l_out;
    const float* in = io.in;
    float* out = io.out;
    const float* b = io.bias;

    if (x.on_device != 0) {
        if (x.on_device != 3 || !device_groups_ok() || !be.k_conv_transpose1d_f32 || device_weight_.empty())
            layer_fail(kOp, name, "device input that this layer cannot run on the device");
        be.k_conv_transpose1d_f32(in, static_cast<const float*>(device_weight_.data),
                                  device_bias(),
                                  out, C_in, int32_t(l), C_out, kernel_size, stride, padding, output_padding,
                                  groups, stream_of(ctx));
        return;
    }

    if (groups == 1) {
        const int64_t n = mul_checked(name, l, C_out);
        float* y_tap = scratch_or_own(ctx, 2, n, own_scratch_);
        std::vector<const float*> taps(tap_packed.size());
        for (size_t k = 0; k < taps.size(); ++k) taps[k] = static_cast<const float*>(tap_packed[k].data);
        conv_transpose1d_f32_taps(in, taps.data(), b, out, C_in, int32_t(l), C_out,
                                  kernel_size, stride, padding, l_out, y_tap);
    } else {
        conv_transpose1d_f32_grouped(in, group_weight.data(), b, out, C_in, int32_t(l), C_out, kernel_size,
                                     stride, padding, groups, l_out);
    }
}

void ConvTranspose1dFp32::upload_weights(Allocator& alloc) {
    if (!alloc.is_device()) return;
    upload_weight_and_bias(alloc, weight);
}

void ConvTranspose1dFp32::release_host_weights() {
    std::vector<float>().swap(own_scratch_);
    release_uploaded(weight);
}

std::unique_ptr<ILayer> create_conv_transpose1d_fp32(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<ConvTranspose1dFp32>(in.name, a.i("C_out"), a.i("C_in"), a.i("kernel_size"),
                                                 a.i("stride"), a.i("padding"), a.i("output_padding"),
                                                 a.i("groups"));
}

}  // namespace vantrel
