// forward checks of the element-wise layers that read their operands as
// flat vectors of input 0's element count.
#pragma once
#include <cstdint>
#include <string>

#include "engine/tensor.h"
#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

// Input 0, input 1 (when there are two operands) and the output hold input
// 0's element count; returns it as the kernels' 32-bit count.
inline int32_t elementwise_count(const char* op, const std::string& node, const TensorView* inputs,
                                 int num_inputs, const BufferView* output, int operands, int64_t elem_bytes) {
    require_inputs(op, node, num_inputs, operands);
    const int64_t n = element_count(inputs[0].shape());
    require_input_extent(op, node, inputs, 0, elem_bytes);
    if (operands > 1) require_view_holds(op, node, "input 1", inputs[1].bytes, n, elem_bytes);
    require_output_extent(op, node, output, n, elem_bytes);
    return checked_int32_count(op, node, n);
}

// Elements of input `index` read as a flat vector (the layer compares the
// operands' counts by its own rule).
inline int64_t operand_elements(const char* op, const std::string& node, const TensorView* inputs, int index,
                                int64_t elem_bytes) {
    const TensorView& v = inputs[index];
    const std::string what = "input " + std::to_string(index);
    return checked_elements(op, node, what.c_str(), v.c, v.h, v.w, elem_bytes);
}

// Both operands hold their shapes and the output holds input 0's n
// elements; returns n as the kernels' 32-bit count.
inline int32_t two_operand_count(const char* op, const std::string& node, const TensorView* inputs,
                                 const BufferView* output, int64_t n, int64_t elem_bytes) {
    require_input_holds(op, node, inputs, 0, elem_bytes);
    require_input_holds(op, node, inputs, 1, elem_bytes);
    require_output_extent(op, node, output, n, elem_bytes);
    return checked_int32_count(op, node, n);
}

}  // namespace vantrel
