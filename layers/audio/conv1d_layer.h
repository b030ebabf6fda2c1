// Steps the 1-D convolution layers share: the optional bias, the forward
// preamble on a [C_in][L] input, and the output shape.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

// `tensor` as float32 values when present; an empty one means no bias, like
// an absent one.
inline void fetch_conv1d_bias(const char* op, const std::string& node, const WeightFetch& fetch,
                              const std::string& tensor, int64_t count, std::vector<float>& out) {
    const WeightFetch bias_fetch = [&](const std::string& n, std::vector<int>& shape,
                                       std::vector<uint8_t>& bytes) {
        return fetch(n, shape, bytes) && !bytes.empty();
    };
    fetch_f32_tensor(op, node, bias_fetch, tensor, count, false, out);
}

// Checks one float32 input of C_in channels and loaded weights; returns L.
inline int64_t conv1d_input_length(const char* op, const std::string& node, const TensorView* inputs,
                                   int num_inputs, int32_t C_in, bool loaded) {
    require_inputs(op, node, num_inputs, 1);
    const TensorView& x = inputs[0];
    if (x.c != C_in)
        layer_fail(op, node, "input has " + std::to_string(x.c) + " channels, expected C_in = " +
                                 std::to_string(C_in));
    if (!loaded) layer_fail(op, node, "weights are not loaded");
    const int64_t l = x.h < 0 ? 0 : x.h;
    // Both factors are 32-bit, so the product cannot wrap.
    require_view_holds(op, node, "input 0", x.bytes, int64_t(C_in) * l, 4);
    return l;
}

// [C_out][L_out] with the length clamped to 32 bits (forward refuses more).
inline Shape3 conv1d_output_shape(int32_t C_out, int64_t l_out) {
    return Shape3{C_out, int32_t(l_out > INT32_MAX ? INT32_MAX : l_out), 1};
}

}  // namespace vantrel
