// Checks every layer makes before it indexes memory: argument geometry at
// construction, input counts and buffer extents in forward. Each failure is a
// std::runtime_error naming the op, the node and what is wrong.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

#include "engine/tensor.h"

namespace vantrel {

inline std::string layer_label(const char* op, const std::string& node) {
    return std::string(op) + " node '" + node + "'";
}

[[noreturn]] inline void layer_fail(const char* op, const std::string& node, const std::string& what) {
    throw std::runtime_error(layer_label(op, node) + ": " + what);
}

// Construction: an argument that must be at least `min`.
inline void require_arg_at_least(const char* op, const std::string& node, const char* key,
                                 int64_t value, int64_t min) {
    if (value < min)
        layer_fail(op, node, std::string("argument '") + key + "' must be at least " +
                                 std::to_string(min) + ", got " + std::to_string(value));
}

// forward: at least `min` inputs.
inline void require_inputs(const char* op, const std::string& node, int num_inputs, int min) {
    if (num_inputs < min)
        layer_fail(op, node, "needs " + std::to_string(min) + " input" + (min == 1 ? "" : "s") +
                                 ", got " + std::to_string(num_inputs));
}

// forward: the input has the layer's C_in channels.
inline void require_input_channels(const char* op, const std::string& node, int32_t c, int32_t C_in) {
    if (c != C_in)
        layer_fail(op, node, "input has " + std::to_string(c) + " channels, expected C_in = " +
                                 std::to_string(C_in));
}

// forward: the view holds at least `count` elements of `elem_bytes` each.
inline void require_view_holds(const char* op, const std::string& node, const char* what,
                               uint64_t view_bytes, int64_t count, int64_t elem_bytes) {
    if (count < 0 || byte_count(count, elem_bytes) > view_bytes)
        layer_fail(op, node, std::string(what) + " holds " + std::to_string(view_bytes) +
                                 " bytes, needs " + std::to_string(byte_count(count, elem_bytes)));
}

// forward: input `index` holds its own shape's elements.
inline void require_input_extent(const char* op, const std::string& node, const TensorView* in,
                                 int index, int64_t elem_bytes) {
    std::string what = "input " + std::to_string(index);
    require_view_holds(op, node, what.c_str(), in[index].bytes, element_count(in[index].shape()),
                       elem_bytes);
}

// forward: the output buffer holds `count` elements.
inline void require_output_extent(const char* op, const std::string& node, const BufferView* out,
                                  int64_t count, int64_t elem_bytes) {
    require_view_holds(op, node, "output buffer", out ? out->bytes : 0, count, elem_bytes);
}

// The slot's kernel; a layer failure when the active backend leaves it empty.
template <typename Fn>
Fn require_kernel(const char* op, const std::string& node, Fn slot, const char* slot_name) {
    if (!slot) layer_fail(op, node, std::string("the active backend has no ") + slot_name + " kernel");
    return slot;
}

// The stream kernels take: the context's, or none without a context.
inline void* stream_of(const ExecContext* ctx) { return ctx ? ctx->stream : nullptr; }

// forward of a fully connected layer: one input read as a flat vector of
// exactly C_in elements, loaded weights and an output of C_out floats.
inline void require_flat_input(const char* op, const std::string& node, const TensorView* inputs, int num_inputs,
                               const BufferView* output, int32_t C_in, int32_t C_out, bool loaded,
                               int64_t in_elem_bytes) {
    require_inputs(op, node, num_inputs, 1);
    const int64_t n_in = element_count(inputs[0].shape());
    if (n_in != C_in)
        layer_fail(op, node, "input has " + std::to_string(n_in) + " elements, expected C_in = " +
                                 std::to_string(C_in));
    if (!loaded) layer_fail(op, node, "weights are not loaded");
    require_input_extent(op, node, inputs, 0, in_elem_bytes);
    require_output_extent(op, node, output, C_out, 4);
}

// Kernels take 32-bit counts; a tensor beyond that range is refused rather
// than wrapped.
inline int32_t checked_int32_count(const char* op, const std::string& node, int64_t n) {
    if (n > INT32_MAX) layer_fail(op, node, "tensor of " + std::to_string(n) + " elements is too large");
    return int32_t(n);
}

}  // namespace vantrel
