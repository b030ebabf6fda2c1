#include "layers/sequence/attention_fp32.h"

#include <cstring>

#include "kernels/attention/attention_f32.h"
#include "kernels/gemm/fake_quantize_u8.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/packed_f32_buffer.h"
#include "layers/common/layer_checks.h"
#include "layers/sequence/attention_weights.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "attention_fp32";
}

AttentionFp32::AttentionFp32(const std::string& node_name, int32_t num_heads_, int32_t embed_dim_,
                             bool dynamic_quantize_)
    : num_heads(num_heads_), embed_dim(embed_dim_), dynamic_quantize(dynamic_quantize_),
      E_(embed_dim_ > 0 ? embed_dim_ : 0) {
    name = node_name;
    check_attention_args(kOp, name, num_heads, embed_dim);
}

void AttentionFp32::load_weights(const WeightFetch& fetch) {
    std::vector<float> wq, bq, wp, bp;
    const int32_t E = fetch_qkv_weight(kOp, name, fetch, name + ".w_qkv", embed_dim, num_heads, "float32", wq);
    fetch_f32_tensor(kOp, name, fetch, name + ".b_qkv", 3 * int64_t(E), false, bq);
    fetch_f32_tensor(kOp, name, fetch, name + ".w_proj", int64_t(E) * E, true, wp);
    fetch_f32_tensor(kOp, name, fetch, name + ".b_proj", E, false, bp);
    packed_qkv = Buffer();
    packed_proj = Buffer();
    qkv_owner_.reset();
    proj_owner_.reset();
    device_qkv_ = Buffer();
    device_proj_ = Buffer();
    w_qkv = std::move(wq);
    b_qkv = std::move(bq);
    w_proj = std::move(wp);
    b_proj = std::move(bp);
    E_ = E;
    const std::string e = std::to_string(E);
    packed_qkv = pack_f32_shared(kOp, name, "AttentionFp32:" + name + ".w_qkv:" + std::to_string(3 * E) + "x" + e,
                                 w_qkv.data(), 3 * E, E, qkv_owner_);
    packed_proj = pack_f32_shared(kOp, name, "AttentionFp32:" + name + ".w_proj:" + e + "x" + e, w_proj.data(), E,
                                  E, proj_owner_);
}

void AttentionFp32::plan_scratch(Shape3 input, ScratchRequest& req) const {
    if (input.h == 0 && input.w == 0) return;
    const int64_t T = int64_t(input.h < 0 ? 0 : input.h) * (input.w < 0 ? 0 : input.w);
    const int64_t E = E_ > 0 ? E_ : (input.c < 0 ? 0 : input.c);
    req.need(3, byte_count(T * E * 4, 4));
}

Shape3 AttentionFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                              ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const TensorView& in =
        attention_input(kOp, name, inputs, num_inputs, !packed_qkv.empty() && !packed_proj.empty(), E_);
    const int32_t T = attention_tokens(kOp, name, inputs, output, E_);
    const int64_t n = int64_t(T) * E_;
    ConvEpilogueF32 epi;
    Shape3 reported = in.shape();
    const float* key_mask = nullptr;
    if (residual_.active())
        reported = residual_.bind(kOp, name, inputs, num_inputs, in.shape(), n, epi);
    else
        key_mask = attention_key_mask(kOp, name, inputs, num_inputs, T);
    if (T == 0) return reported;
    const float* x = static_cast<const float*>(in.data);
    if (dynamic_quantize) {
        quantized_input_.resize(size_t(n));
        std::memcpy(quantized_input_.data(), x, size_t(n) * sizeof(float));
        fake_quantize_u8(quantized_input_.data(), n);
        x = quantized_input_.data();
    }
    float* scratch = scratch_or_own(ctx, 3, 4 * n, own_scratch_);
    // The table's slot has no mask argument; a masked pass runs the host
    // block, which only host memory can feed.
    KAttentionF32 attend = be.k_attention_f32 ? be.k_attention_f32 : &k_attention_f32;
    const bool on_device = !device_qkv_.empty();
    if (key_mask || epi.residual) {
        if (be.kind != kBackendHost || on_device)
            layer_fail(kOp, name, "the active backend has no masked attention kernel");
        attention_f32_masked(x, w_qkv.data(), b_qkv.empty() ? nullptr : b_qkv.data(), w_proj.data(),
                             b_proj.empty() ? nullptr : b_proj.data(), static_cast<float*>(output->data), T, E_,
                             num_heads, scratch, static_cast<const float*>(packed_qkv.data),
                             static_cast<const float*>(packed_proj.data), ctx ? ctx->stream : nullptr,
                             dynamic_quantize, key_mask, &epi);
        return reported;
    }
    attend(x, w_qkv.data(), b_qkv.empty() ? nullptr : b_qkv.data(), w_proj.data(),
           b_proj.empty() ? nullptr : b_proj.data(), static_cast<float*>(output->data), T, E_, num_heads, scratch,
           static_cast<const float*>(on_device ? device_qkv_.data : packed_qkv.data),
           static_cast<const float*>(on_device ? device_proj_.data : packed_proj.data), ctx ? ctx->stream : nullptr,
           dynamic_quantize);
    return in.shape();
}

void AttentionFp32::upload_weights(Allocator& alloc) {
    if (!alloc.is_device() || packed_qkv.empty()) return;
    device_qkv_ = device_copy(alloc, packed_qkv.data, size_t(packed_qkv.size));
    device_proj_ = device_copy(alloc, packed_proj.data, size_t(packed_proj.size));
}

std::unique_ptr<ILayer> create_attention_fp32(const LayerInit& in) {
    return std::make_unique<AttentionFp32>(in.name, in.args.i("num_heads"), in.args.i("embed_dim"),
                                           in.args.b("dynamic_quantize"));
}

}  // namespace vantrel
