#include "layers/sequence/attention_int8.h"

#include <algorithm>
#include <cstring>

#include "kernels/attention/attention_core.h"
#include "kernels/gemm/gemm_s8.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/fetch_typed_tensor.h"
#include "layers/common/packed_s8_buffer.h"
#include "layers/common/layer_checks.h"
#include "layers/sequence/attention_weights.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "attention_int8";
}

AttentionInt8::AttentionInt8(const std::string& node_name, int32_t num_heads_, int32_t embed_dim_)
    : num_heads(num_heads_), embed_dim(embed_dim_), E_(embed_dim_ > 0 ? embed_dim_ : 0) {
    name = node_name;
    check_attention_args(kOp, name, num_heads, embed_dim);
}

void AttentionInt8::load_weights(const WeightFetch& fetch) {
    std::vector<int8_t> wq, wp;
    std::vector<float> sq, sp, bq, bp;
    const int32_t E = fetch_qkv_weight(kOp, name, fetch, name + ".w_qkv_i8", embed_dim, num_heads, "int8", wq);
    const int64_t E3 = 3 * int64_t(E);
    fetch_typed_tensor(kOp, name, fetch, name + ".w_qkv_scales", E3, "float32", sq);
    require_scales(kOp, name, name + ".w_qkv_scales", sq);
    fetch_f32_tensor(kOp, name, fetch, name + ".b_qkv", E3, false, bq);
    fetch_typed_tensor(kOp, name, fetch, name + ".w_proj_i8", int64_t(E) * E, "int8", wp);
    fetch_typed_tensor(kOp, name, fetch, name + ".w_proj_scales", E, "float32", sp);
    require_scales(kOp, name, name + ".w_proj_scales", sp);
    fetch_f32_tensor(kOp, name, fetch, name + ".b_proj", E, false, bp);
    packed_qkv = Buffer();
    packed_proj = Buffer();
    qkv_owner_.reset();
    proj_owner_.reset();
    device_qkv_ = Buffer();
    device_proj_ = Buffer();
    w_qkv_i8 = std::move(wq);
    w_proj_i8 = std::move(wp);
    w_qkv_scales = std::move(sq);
    w_proj_scales = std::move(sp);
    b_qkv = std::move(bq);
    b_proj = std::move(bp);
    ib_qkv.assign(size_t(E3), 0);
    ib_proj.assign(size_t(E), 0);
    E_ = E;
    const std::string e = std::to_string(E);
    packed_qkv = pack_s8_shared(kOp, name, "AttentionInt8:" + name + ".w_qkv_i8:" + std::to_string(E3) + "x" + e,
                                w_qkv_i8.data(), int32_t(E3), E, qkv_owner_);
    packed_proj = pack_s8_shared(kOp, name, "AttentionInt8:" + name + ".w_proj_i8:" + e + "x" + e,
                                 w_proj_i8.data(), E, E, proj_owner_);
}

void AttentionInt8::plan_scratch(Shape3 input, ScratchRequest& req) const {
    if (input.h == 0 && input.w == 0) return;
    const int64_t T = int64_t(input.h < 0 ? 0 : input.h) * (input.w < 0 ? 0 : input.w);
    const int64_t E = E_ > 0 ? E_ : (input.c < 0 ? 0 : input.c);
    req.need(3, byte_count(T * E * 3, 4));
    req.need(4, byte_count(T * E, 1));
    req.need(5, byte_count(E, 12));
}

Shape3 AttentionInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                              ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const TensorView& in =
        attention_input(kOp, name, inputs, num_inputs, !packed_qkv.empty() && !packed_proj.empty(), E_);
    // The slot has no argument list on the host backend; a device backend
    // would run the whole block on its own memory.
    if (be.kind != kBackendHost) layer_fail(kOp, name, "the active backend has no int8 attention kernel");
    const int32_t T = attention_tokens(kOp, name, inputs, output, E_);
    const int64_t n = int64_t(T) * E_;
    const float* key_mask = attention_key_mask(kOp, name, inputs, num_inputs, T);
    if (T == 0) return in.shape();
    const float* x = static_cast<const float*>(in.data);
    float* out = static_cast<float*>(output->data);
    float* qkv = scratch_or_own(ctx, 3, 3 * n, own_qkv_);
    int8_t* codes = scratch_or_own(ctx, 4, n, own_codes_);
    float* scales = scratch_or_own(ctx, 5, 3 * int64_t(E_), own_scales_);
    const int8_t* bq = static_cast<const int8_t*>(packed_qkv.data);
    const int8_t* bp = static_cast<const int8_t*>(packed_proj.data);
    gemm_s8_dynamic(x, bq, w_qkv_scales.data(), ib_qkv.data(), b_qkv.empty() ? nullptr : b_qkv.data(), codes,
                    scales, qkv, T, E_, 3 * E_, nullptr);
    // Columns no head covers, and every column when the mask keeps no key,
    // stay 0; otherwise the core writes every output.
    if (key_mask || E_ % num_heads != 0) std::fill(out, out + n, 0.0f);
    attention_core_f32(qkv, out, T, E_, num_heads, key_mask);
    // In place: the product reads its input only while quantising it.
    gemm_s8_dynamic(out, bp, w_proj_scales.data(), ib_proj.data(), b_proj.empty() ? nullptr : b_proj.data(), codes,
                    scales, out, T, E_, E_, nullptr);
    return in.shape();
}

void AttentionInt8::upload_weights(Allocator& alloc) {
    if (!alloc.is_device() || packed_qkv.empty()) return;
    device_qkv_ = device_copy(alloc, packed_qkv.data, size_t(packed_qkv.size));
    device_proj_ = device_copy(alloc, packed_proj.data, size_t(packed_proj.size));
}

std::unique_ptr<ILayer> create_attention_int8(const LayerInit& in) {
    return std::make_unique<AttentionInt8>(in.name, in.args.i("num_heads"), in.args.i("embed_dim"));
}

}  // namespace vantrel
