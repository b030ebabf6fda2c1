#include "layers/sequence/seq_gemm_w8.h"

#include <algorithm>
#include <cmath>

#include "kernels/gemm/seq_gemm_w8.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/fetch_typed_tensor.h"
#include "layers/common/layer_buffers.h"
#include "layers/common/layer_checks.h"
#include "layers/sequence/huge_page_advice.h"
#include "layers/sequence/seq_gemm_io.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "seqgemm_w8";
}  // namespace

void quantize_weight_groups(const float* w, int64_t n, int64_t k, int64_t group, int8_t* q,
                            float* scale) {
    const int64_t groups = (k + group - 1) / group;
    for (int64_t r = 0; r < n; ++r)
        for (int64_t g = 0; g < groups; ++g) {
            const int64_t k0 = g * group, k1 = std::min(k, k0 + group);
            const float* row = w + r * k;
            float amax = 0.0f;
            for (int64_t i = k0; i < k1; ++i) amax = std::fmax(amax, std::fabs(row[i]));
            float inv = 0.0f, s = 0.0f;
            if (amax > 1e-8f && std::isfinite(amax)) {
                inv = 127.0f / amax;
                s = amax * 0.007874016f;
            }
            scale[r * groups + g] = s;
            for (int64_t i = k0; i < k1; ++i) {
                const float v = std::round(row[i] * inv);
                q[r * k + i] = std::isnan(v) ? int8_t(0) : int8_t(std::clamp(v, -127.0f, 127.0f));
            }
        }
}

SeqGemmW8::SeqGemmW8(const std::string& node_name, bool gelu_, int32_t C_out_, int32_t C_in_,
                     int32_t group_size_, bool huge_page_hint_)
    : gelu(gelu_), C_out(C_out_), C_in(C_in_), group_size(group_size_), huge_page_hint(huge_page_hint_) {
    name = node_name;
    require_arg_at_least(kOp, name, "C_out", C_out, 1);
    require_arg_at_least(kOp, name, "C_in", C_in, 1);
    require_arg_at_least(kOp, name, "group_size", group_size, 8);
    if (group_size % 8) layer_fail(kOp, name, "group_size " + std::to_string(group_size) + " is not a multiple of 8");
}

void SeqGemmW8::load_weights(const WeightFetch& fetch) {
    const int64_t nk = int64_t(C_out) * C_in, groups = (int64_t(C_in) + group_size - 1) / group_size;
    std::vector<int8_t> q;
    std::vector<float> s, b;
    if (fetch_typed_tensor_if(kOp, name, fetch, name + ".weight_i8", nk, "int8", false, q)) {
        fetch_typed_tensor(kOp, name, fetch, name + ".w_scales", int64_t(C_out) * groups, "float32", s);
    } else {
        std::vector<float> w;
        fetch_typed_tensor(kOp, name, fetch, name + ".weight", nk, "float32", w);
        q.assign(size_t(nk), 0);
        s.assign(size_t(C_out * groups), 0.0f);
        quantize_weight_groups(w.data(), C_out, C_in, group_size, q.data(), s.data());
    }
    fetch_f32_tensor(kOp, name, fetch, name + ".bias", C_out, false, b);
    device_codes_ = Buffer();
    device_scales_ = Buffer();
    device_bias_ = Buffer();
    codes = std::move(q);
    scales = std::move(s);
    bias = std::move(b);
    if (huge_page_hint) advise_huge_pages(codes.data(), int64_t(codes.size()));
}

Shape3 SeqGemmW8::forward(const TensorView* inputs, int num_inputs, const BufferView* output, ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const SeqGemmIo io = seq_gemm_io(kOp, name, inputs, num_inputs, output, C_in, C_out, !codes.empty());
    const Shape3 out{C_out, inputs[0].h, inputs[0].w};
    if (io.tokens == 0) return out;
    void* stream = ctx ? ctx->stream : nullptr;
    const int8_t* q = device_codes_.data ? static_cast<const int8_t*>(device_codes_.data) : codes.data();
    const float* s = device_scales_.data ? static_cast<const float*>(device_scales_.data) : scales.data();
    const float* b = bias.empty() ? nullptr
                     : device_bias_.data ? static_cast<const float*>(device_bias_.data) : bias.data();
    const KSeqGemmW8F32 fn = slot_or_host(kOp, name, be, be.k_seq_gemm_w8_f32, &k_seq_gemm_w8_f32,
                                          "k_seq_gemm_w8_f32");
    fn(io.x, q, s, b, io.y, io.tokens32, C_in, C_out, group_size, stream);
    if (gelu) seq_gelu(seq_gelu_kernel(kOp, name, be), io.y, io.tokens * C_out, stream);
    return out;
}

void SeqGemmW8::upload_weights(Allocator& alloc) {
    if (!alloc.is_device() || codes.empty()) return;
    device_codes_ = device_copy(alloc, codes);
    device_scales_ = device_copy(alloc, scales);
    if (!bias.empty()) device_bias_ = device_copy(alloc, bias);
}

std::unique_ptr<ILayer> create_seqgemm_w8(const LayerInit& in) {
    return std::make_unique<SeqGemmW8>(in.name, in.args.b("gelu"), in.args.i("C_out"), in.args.i("C_in"),
                                       in.args.i("group_size"), is_decoder_weight_name(in.name));
}

}  // namespace vantrel
