// The checks of a residual add folded into the layer that computes one of its
// operands, made under the add's own op and node name: the residual is the
// layer's input 1; when it was the add's input 0 it gives the element count
// and the shape the add reported, otherwise it must hold the layer's own
// `count` elements.
#pragma once
#include <cstdint>
#include <string>

#include "engine/tensor.h"
#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

// Returns the shape the separate add would have reported (`own` unless the
// residual came first); `what` names the layer's kind in the message.
inline Shape3 residual_operand_shape(const char* add_op, const std::string& add_node, const char* what,
                                     const std::string& layer, const TensorView* inputs, bool residual_first,
                                     Shape3 own, int64_t count, int64_t elem_bytes) {
    const TensorView& r = inputs[1];
    if (!residual_first) {
        require_view_holds(add_op, add_node, "input 1", r.bytes, count, elem_bytes);
        return own;
    }
    require_input_extent(add_op, add_node, inputs, 1, elem_bytes);
    if (element_count(r.shape()) != count)
        layer_fail(add_op, add_node,
                   "the residual holds " + std::to_string(element_count(r.shape())) + " elements but the fused " +
                       what + " '" + layer + "' gives " + std::to_string(count));
    return r.shape();
}

}  // namespace vantrel
