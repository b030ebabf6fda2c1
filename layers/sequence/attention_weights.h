// Weight binding and forward checks shared by the two self-attention
// layers: the fused QKV matrix fixes the embedding size E (derived from its
// element count when the node gives none), and every other tensor and the
// input are checked against E.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "layers/common/fetch_typed_tensor.h"
#include "layers/common/layer_buffers.h"
#include "layers/common/layer_checks.h"
#include "layers/sequence/sequence_extent.h"

namespace vantrel {

// Construction checks: at least one head; a given embedding size must split
// evenly into heads and keep 3E within 32 bits (the GEMMs take 3E columns).
inline void check_attention_args(const char* op, const std::string& node, int32_t num_heads,
                                 int32_t embed_dim) {
    require_arg_at_least(op, node, "num_heads", num_heads, 1);
    if (embed_dim > INT32_MAX / 3)
        layer_fail(op, node, "argument 'embed_dim' " + std::to_string(embed_dim) + " is too large");
    if (embed_dim > 0 && embed_dim % num_heads != 0)
        layer_fail(op, node, "argument 'embed_dim' " + std::to_string(embed_dim) +
                                 " is not divisible by 'num_heads' " + std::to_string(num_heads));
}

// Fetches the [3E][E] QKV weight into `out` and returns E: `embed_dim` when
// positive (the tensor must hold 3E*E values), otherwise the E with
// 3E*E equal to its element count.
template <typename T>
int32_t fetch_qkv_weight(const char* op, const std::string& node, const WeightFetch& fetch,
                         const std::string& tensor, int32_t embed_dim, int32_t num_heads,
                         const char* type_name, std::vector<T>& out) {
    std::vector<int> shape;
    std::vector<uint8_t> bytes;
    // With E given, a record larger than 3E*E values is refused before its
    // data is read (and fails below as the wrong count).
    const uint64_t max_bytes = embed_dim > 0 ? 3 * uint64_t(embed_dim) * uint64_t(embed_dim) * sizeof(T) : UINT64_MAX;
    uint64_t got = 0;
    if (!fetch_record(fetch, tensor, max_bytes, shape, bytes, got))
        layer_fail(op, node, "weight tensor '" + tensor + "' is missing");
    const std::string label = "weight tensor '" + tensor + "' ";
    if (got % sizeof(T) != 0)
        layer_fail(op, node, label + "has " + std::to_string(got) + " bytes, not a whole number of " +
                                 type_name + " values");
    const int64_t n = int64_t(got / sizeof(T));
    int64_t E = embed_dim;
    if (E > 0) {
        if (n != 3 * E * E)
            layer_fail(op, node, label + "holds " + std::to_string(n) + " " + type_name + " values, expected 3*" +
                                     std::to_string(E) + "*" + std::to_string(E) + " = " +
                                     std::to_string(3 * E * E));
    } else {
        E = n % 3 == 0 ? int64_t(std::llround(std::sqrt(double(n / 3)))) : 0;
        while (E > 0 && E * E > n / 3) --E;
        while ((E + 1) * (E + 1) <= n / 3) ++E;
        if (E < 1 || 3 * E * E != n)
            layer_fail(op, node, label + "holds " + std::to_string(n) + " " + type_name +
                                     " values, which is not 3*E*E for any embedding size E");
        if (E > INT32_MAX / 3) layer_fail(op, node, label + "is too large");
        if (E % num_heads != 0)
            layer_fail(op, node, "embedding size " + std::to_string(E) + " (from " + label +
                                     ") is not divisible by 'num_heads' " + std::to_string(num_heads));
    }
    if (!shape.empty()) {
        int64_t dims = 1;
        for (int d : shape) dims = d < 0 ? -1 : (dims < 0 || (d != 0 && dims > INT64_MAX / d)) ? -1 : dims * d;
        if (dims != n)
            layer_fail(op, node, label + "has a shape of " + std::to_string(shape.size()) +
                                     " dimensions that does not hold its " + std::to_string(n) + " values");
    }
    out.resize(size_t(n));
    if (n) std::memcpy(out.data(), bytes.data(), bytes.size());
    return int32_t(E);
}

// forward: one input of E features per token and loaded weights.
inline const TensorView& attention_input(const char* op, const std::string& node, const TensorView* inputs,
                                         int num_inputs, bool loaded, int32_t E) {
    require_inputs(op, node, num_inputs, 1);
    if (!loaded) layer_fail(op, node, "weights are not loaded");
    const TensorView& in = inputs[0];
    if (in.c != E)
        layer_fail(op, node, "input has " + std::to_string(in.c) +
                                 " features per token, expected the embedding size " + std::to_string(E));
    return in;
}

// forward: the token count T, with the input and the T*E output held.
inline int32_t attention_tokens(const char* op, const std::string& node, const TensorView* inputs,
                                const BufferView* output, int32_t E) {
    const int32_t T = checked_int32_count(op, node, token_count(inputs[0]));
    require_input_extent(op, node, inputs, 0, 4);
    require_output_extent(op, node, output, int64_t(T) * E, 4);
    return T;
}

// forward: the optional second input, a key-padding mask of T values (1: a
// real token, 0: padding), or null when the node has none. Padded keys are
// left out of every softmax; padded query rows are still computed.
inline const float* attention_key_mask(const char* op, const std::string& node, const TensorView* inputs,
                                       int num_inputs, int32_t T) {
    if (num_inputs > 2)
        layer_fail(op, node, "takes the sequence and an optional attention mask, got " +
                                 std::to_string(num_inputs) + " inputs");
    if (num_inputs < 2) return nullptr;
    const TensorView& m = inputs[1];
    const int64_t n = int64_t(m.c < 0 ? 0 : m.c) * token_count(m);
    if (n != T)
        layer_fail(op, node, "attention mask has " + std::to_string(n) + " values for " + std::to_string(T) +
                                 " tokens");
    require_input_extent(op, node, inputs, 1, 4);
    const float* mask = static_cast<const float*>(m.data);
    bool any = false;
    for (int64_t t = 0; t < n; ++t) {
        if (mask[t] != 0.0f && mask[t] != 1.0f)
            layer_fail(op, node, "attention mask value " + std::to_string(mask[t]) + " at token " +
                                     std::to_string(t) + " is not 0 (padding) or 1 (token)");
        any = any || mask[t] == 1.0f;
    }
    if (T > 0 && !any) layer_fail(op, node, "attention mask has no real token (every value is 0)");
    return mask;
}

}  // namespace vantrel
