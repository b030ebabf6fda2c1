#include "layers/sequence/causal_attn_core_fp32.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "kernels/attention/causal_attention_f32.h"
#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "causal_attn_core_fp32";
}

CausalAttnCoreFp32::CausalAttnCoreFp32(const std::string& node_name, int32_t hq, int32_t hkv,
                                       int32_t d, float theta, int32_t max_len)
    : num_q_heads(hq), num_kv_heads(hkv), head_dim(d), rope_theta(theta), max_seq_len(max_len) {
    name = node_name;
    require_arg_at_least(kOp, name, "num_q_heads", hq, 1);
    require_arg_at_least(kOp, name, "num_kv_heads", hkv, 1);
    require_arg_at_least(kOp, name, "head_dim", d, 1);
    require_arg_at_least(kOp, name, "max_seq_len", max_len, 0);
    if (hq % hkv != 0)
        layer_fail(kOp, name, "argument 'num_q_heads' (" + std::to_string(hq) +
                                  ") must be a multiple of 'num_kv_heads' (" + std::to_string(hkv) + ")");
    // Rows are tensor widths, which are 32-bit.
    if (int64_t(hq) * d > INT32_MAX)
        layer_fail(kOp, name, "arguments 'num_q_heads' * 'head_dim' = " + std::to_string(int64_t(hq) * d) +
                                  " exceed a tensor width");
    // powf of a non-positive base gives NaN angles for every pair.
    if (!(theta > 0.0f) || !std::isfinite(theta))
        layer_fail(kOp, name, "argument 'rope_theta' must be finite and positive, got " + std::to_string(theta));
}

void CausalAttnCoreFp32::release_host_weights() {
    std::vector<float>().swap(work_);
    std::vector<float>().swap(split_);
}

void CausalAttnCoreFp32::reserve_state(int capacity, Allocator& alloc) {
    require_arg_at_least(kOp, name, "cache capacity", capacity, 0);
    // Keys and values: Hkv*d floats each per position; 4 bytes when empty.
    uint64_t bytes = 0;
    const uint64_t row = uint64_t(num_kv_heads) * uint64_t(head_dim);
    if (__builtin_mul_overflow(row, uint64_t(capacity), &bytes) ||
        __builtin_mul_overflow(bytes, uint64_t(8), &bytes) || bytes > SIZE_MAX)
        layer_fail(kOp, name, "a KV cache of " + std::to_string(capacity) + " positions is too large");
    if (bytes == 0) bytes = 4;
    Buffer fresh;
    try {
        fresh = alloc.make_buffer(size_t(bytes));
    } catch (const std::exception& e) {
        layer_fail(kOp, name, "cannot allocate a KV cache of " + std::to_string(capacity) + " positions (" +
                                  std::to_string(bytes) + " bytes): " + e.what());
    }
    if (!fresh.data) layer_fail(kOp, name, "cannot allocate a KV cache of " + std::to_string(bytes) + " bytes");
    // The positions both capacities hold keep their keys and values, so a
    // sequence can go on in a larger (or smaller) cache. Each region is
    // [Hkv][capacity][d]: every head's rows move to its new stride.
    const int32_t kept = std::min(capacity, capacity_);
    if (kept > 0 && kv_cache_.data && row > 0) {
        const size_t d = size_t(head_dim), heads = size_t(num_kv_heads);
        const size_t run = size_t(kept) * d * sizeof(float);
        char* dst = static_cast<char*>(fresh.data);
        const char* src = static_cast<const char*>(kv_cache_.data);
        for (size_t region = 0; region < 2; ++region)
            for (size_t h = 0; h < heads; ++h)
                alloc.copy_device(dst + ((region * heads + h) * size_t(capacity)) * d * sizeof(float),
                                  src + ((region * heads + h) * size_t(capacity_)) * d * sizeof(float), run);
    }
    kv_cache_ = std::move(fresh);
    capacity_ = capacity;
}

Shape3 CausalAttnCoreFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                   ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const int64_t qw = int64_t(num_q_heads) * head_dim;
    const int64_t kw = int64_t(num_kv_heads) * head_dim;
    if (num_inputs == 1) return forward_packed(be, inputs[0], output, ctx);
    require_inputs(kOp, name, num_inputs, 3);
    const char* names[3] = {"queries", "keys", "values"};
    const int64_t widths[3] = {qw, kw, kw};
    int64_t tokens[3];
    for (int i = 0; i < 3; ++i) {
        const TensorView& in = inputs[i];
        if (in.c != widths[i])
            layer_fail(kOp, name, "input " + std::to_string(i) + " (" + names[i] + ") has width " +
                                      std::to_string(in.c) + ", expected " + std::to_string(widths[i]) +
                                      (i == 0 ? " (num_q_heads * head_dim)" : " (num_kv_heads * head_dim)"));
        tokens[i] = checked_elements(kOp, name, names[i], 1, in.h, in.w, 4);
        require_input_holds(kOp, name, inputs, i, 4);
    }
    if (tokens[1] != tokens[0] || tokens[2] != tokens[0])
        layer_fail(kOp, name, "token counts differ: queries " + std::to_string(tokens[0]) + ", keys " +
                                  std::to_string(tokens[1]) + ", values " + std::to_string(tokens[2]));
    run(be, static_cast<const float*>(inputs[0].data), static_cast<const float*>(inputs[1].data),
        static_cast<const float*>(inputs[2].data), tokens[0], output, ctx);
    return inputs[0].shape();
}

Shape3 CausalAttnCoreFp32::forward_packed(const Backend& be, const TensorView& in, const BufferView* output,
                                          ExecContext* ctx) {
    const int64_t qw = int64_t(num_q_heads) * head_dim;
    const int64_t kw = int64_t(num_kv_heads) * head_dim;
    const int64_t width = qw + 2 * kw;
    if (in.c != width)
        layer_fail(kOp, name, "input 0 (packed queries, keys and values) has width " + std::to_string(in.c) +
                                  ", expected " + std::to_string(width) +
                                  " ((num_q_heads + 2 * num_kv_heads) * head_dim)");
    const int64_t T = checked_elements(kOp, name, "packed rows", 1, in.h, in.w, 4);
    require_input_holds(kOp, name, &in, 0, 4);
    const float* x = static_cast<const float*>(in.data);
    if (T <= 1) {  // one row: the three parts already lie one after another
        run(be, x, x + qw, x + qw + kw, T, output, ctx);
    } else {
        // The kernel takes each part as its own [T][width] block.
        const size_t need = size_t(T) * size_t(width);
        if (split_.size() < need) {
            try {
                split_.resize(need);
            } catch (const std::bad_alloc&) {
                layer_fail(kOp, name, "cannot allocate " + std::to_string(need) + " floats to split the packed input");
            }
        }
        float* q = split_.data();
        float* k = q + T * qw;
        float* v = k + T * kw;
        for (int64_t t = 0; t < T; ++t) {
            const float* row = x + t * width;
            std::memcpy(q + t * qw, row, size_t(qw) * sizeof(float));
            std::memcpy(k + t * kw, row + qw, size_t(kw) * sizeof(float));
            std::memcpy(v + t * kw, row + qw + kw, size_t(kw) * sizeof(float));
        }
        run(be, q, k, v, T, output, ctx);
    }
    return Shape3{int32_t(qw), in.h, in.w};
}

void CausalAttnCoreFp32::run(const Backend& be, const float* q, const float* k, const float* v, int64_t T,
                             const BufferView* output, ExecContext* ctx) {
    const int64_t qw = int64_t(num_q_heads) * head_dim;
    const int64_t p0 = ctx ? ctx->position : 0;
    if (p0 < 0) layer_fail(kOp, name, "position " + std::to_string(p0) + " is negative");
    if (p0 + T > capacity_)
        layer_fail(kOp, name, "position " + std::to_string(p0) + " + " + std::to_string(T) +
                                  " tokens exceeds the KV cache capacity " + std::to_string(capacity_) +
                                  " (reset the cache or reserve a larger one)");
    require_output_extent(kOp, name, output, T * qw, 4);
    if (T == 0) return;

    const int64_t need = causal_attention_work_floats(T, p0, num_q_heads, num_kv_heads, head_dim);
    if (need < 0 || uint64_t(need) > work_.max_size())
        layer_fail(kOp, name, "work memory for " + std::to_string(T) + " tokens at position " +
                                  std::to_string(p0) + " is too large");
    if (work_.size() < size_t(need)) {
        try {
            work_.resize(size_t(need));
        } catch (const std::bad_alloc&) {
            layer_fail(kOp, name, "cannot allocate " + std::to_string(need) + " floats of work memory");
        }
    }
    KCausalAttentionF32 kernel = be.k_causal_attention_f32;
    if (!kernel) {
        if (be.kind != kBackendHost)
            layer_fail(kOp, name, "the active backend has no k_causal_attention_f32 kernel");
        kernel = &k_causal_attention_f32;  // host memory: the portable kernel serves
    }
    kernel(q, k, v, static_cast<float*>(kv_cache_.data), int32_t(p0), capacity_,
           static_cast<float*>(output->data), int32_t(T), rope_theta, num_q_heads, num_kv_heads, head_dim,
           int32_t(p0), ctx ? ctx->cache_flag : uint8_t(0), work_.data(), ctx ? ctx->stream : nullptr);
}

std::unique_ptr<ILayer> create_causal_attn_core_fp32(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<CausalAttnCoreFp32>(in.name, a.i("num_q_heads"), a.i("num_kv_heads"), a.i("head_dim"),
                                                a.f("rope_theta"), a.i("max_seq_len"));
}

}  // namespace vantrel
