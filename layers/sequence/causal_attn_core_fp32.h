// Causal attention core of decoder graphs ("causal_attn_core_fp32"): inputs
// are the projected queries [T][Hq*d], keys [T][Hkv*d] and values [T][Hkv*d];
// queries and keys get rotary position encoding, keys and values are appended
// to the layer's key/value cache at ctx->position, and each query head
// attends to every cached position up to its own. The output has the query
// input's shape. One input instead of three is the packed form [T][(Hq +
// 2*Hkv)*d], each row the query, key and value rows one after another (the
// output of one product for all three); the output then has width Hq*d.
//
// The cache holds `capacity` positions and is sized by reserve_state; a call
// whose position + T exceeds it is refused. The node may declare the capacity
// it wants with the argument "max_seq_len".
#pragma once
#include <string>
#include <vector>

#include "engine/cache_capacity.h"
#include "layers/common/layer_base.h"

namespace vantrel {

class CausalAttnCoreFp32 final : public ShapeKeeping<Fp32Layer>, public DeclaresCacheCapacity {
public:
    // Throws when a head count or head_dim is below 1, num_q_heads is not a
    // multiple of num_kv_heads, a row width Hq*d does not fit 32 bits,
    // rope_theta is not finite and positive, or max_seq_len is negative.
    CausalAttnCoreFp32(const std::string& node_name, int32_t num_q_heads, int32_t num_kv_heads,
                       int32_t head_dim, float rope_theta, int32_t max_seq_len);

    // Refuses two inputs, widths other than Hq*d, Hkv*d, Hkv*d (or the packed width),
    // token counts that differ, views or an output smaller than their shapes,
    // and position + T beyond the cache capacity.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // The query input's shape, or for the packed input its rows of Hq*d.
    Shape3 output_shape(Shape3 input) const override {
        const int64_t packed = int64_t(num_q_heads + 2 * int64_t(num_kv_heads)) * head_dim;
        return input.c == packed ? Shape3{num_q_heads * head_dim, input.h, input.w} : input;
    }
    Shape3 output_shape_multi(const Shape3* inputs, int count) const override {
        return count > 0 ? output_shape(inputs[0]) : Shape3{0, 0, 0};
    }
    // Frees the work memory only; the cache holds the sequence in use.
    void release_host_weights() override;
    bool is_stateful() const override { return true; }
    // Allocates a cache of `capacity` positions keeping the rows of the
    // positions both caches hold; throws for a negative capacity or a failed allocation, in
    // which case the previous cache stays.
    void reserve_state(int capacity, Allocator& alloc) override;
    int32_t declared_cache_capacity() const override { return max_seq_len; }

    int32_t capacity() const { return capacity_; }
    const float* kv_cache() const { return static_cast<const float*>(kv_cache_.data); }
    size_t work_floats() const { return work_.size(); }

    const int32_t num_q_heads;
    const int32_t num_kv_heads;
    const int32_t head_dim;
    const float rope_theta;
    const int32_t max_seq_len;

private:
    Shape3 forward_packed(const Backend& be, const TensorView& in, const BufferView* output, ExecContext* ctx);
    // Checks the position and the output, then runs the kernel on T tokens.
    void run(const Backend& be, const float* q, const float* k, const float* v, int64_t T,
             const BufferView* output, ExecContext* ctx);

    Buffer kv_cache_;
    int32_t capacity_ = 0;
    std::vector<float> work_;
    std::vector<float> split_;  // the packed input's parts, for T > 1
};

}  // namespace vantrel
