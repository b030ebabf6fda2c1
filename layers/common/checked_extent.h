// Extent checks of the pooling and resampling layers that stay exact for any
// Shape3: a product of three int32 extents can exceed 64 bits, so counts are
// multiplied with overflow checks before a view is compared with them.
#pragma once
#include <cstdint>
#include <string>

#include "engine/tensor.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

// Elements of {c, h, w}, negative extents counting as 0; a layer failure when
// the byte count would not fit in 64 bits.
inline int64_t checked_elements(const char* op, const std::string& node, const char* what,
                                int64_t c, int64_t h, int64_t w, int64_t elem_bytes) {
    int64_t n = 1;
    for (int64_t f : {c, h, w, elem_bytes}) {
        if (f <= 0) return 0;
        if (__builtin_mul_overflow(n, f, &n))
            layer_fail(op, node, std::string(what) + " of shape {" + std::to_string(c) + ", " +
                                     std::to_string(h) + ", " + std::to_string(w) +
                                     "} is too large");
    }
    return n / elem_bytes;
}

// forward: input `index` holds the elements of its own shape.
inline void require_input_holds(const char* op, const std::string& node, const TensorView* in,
                                int index, int64_t elem_bytes) {
    std::string what = "input " + std::to_string(index);
    const TensorView& v = in[index];
    int64_t n = checked_elements(op, node, what.c_str(), v.c, v.h, v.w, elem_bytes);
    require_view_holds(op, node, what.c_str(), v.bytes, n, elem_bytes);
}

inline int32_t nonnegative(int32_t v) { return v < 0 ? 0 : v; }

// Input 0 of a layer that reads it as C channels of H*W rows each.
struct ChannelRows {
    const TensorView& x;
    int64_t c;     // negative extents count as 0
    int64_t rows;  // H*W, checked as a row count of elem_bytes elements
};

// Requires `operands` inputs, then reads input 0's channel and row counts.
inline ChannelRows channel_rows_input(const char* op, const std::string& node, const TensorView* inputs,
                                      int num_inputs, int operands, int64_t elem_bytes) {
    require_inputs(op, node, num_inputs, operands);
    const TensorView& x = inputs[0];
    const int64_t c = nonnegative(x.c);
    return ChannelRows{x, c, checked_elements(op, node, "input 0", 1, x.h, x.w, elem_bytes)};
}

}  // namespace vantrel
