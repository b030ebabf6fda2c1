// A residual add folded into a sequence layer's last matrix product (the
// add after a transformer block's attention or MLP): the layer reads the
// residual as input 1 and adds it to each output tile while the tile is in
// cache, as the separate add_fp32 would, bit for bit.
#pragma once
#include <cstdint>
#include <string>

#include "engine/backend.h"
#include "engine/tensor.h"
#include "kernels/gemm/gemm_f32_epilogue.h"
#include "layers/common/layer_checks.h"
#include "layers/common/residual_operand.h"

namespace vantrel {

struct SeqResidual {
    std::string add_node;  // the folded add, empty when none
    bool residual_first = false, relu = false;

    bool active() const { return !add_node.empty(); }

    // Takes on the add unless one is already folded in.
    bool take(const std::string& node, bool first, bool add_relu) {
        if (active() || node.empty() || active_backend_or_throw().kind != kBackendHost) return false;
        add_node = node;
        residual_first = first;
        relu = add_relu;
        return true;
    }

    // The folded add's checks, under its name, for a product of `count`
    // outputs of shape `own`: sets epi's residual and returns the shape the
    // add reported (input 0's).
    Shape3 bind(const char* op, const std::string& node, const TensorView* inputs, int num_inputs,
                Shape3 own, int64_t count, ConvEpilogueF32& epi) const {
        static constexpr const char* kAddOp = "add_fp32";
        if (active_backend_or_throw().kind != kBackendHost)
            layer_fail(op, node, "a folded residual add runs on the host backend only");
        require_inputs(op, node, num_inputs, 2);
        const TensorView& r = inputs[1];
        const Shape3 reported =
            residual_operand_shape(kAddOp, add_node, "layer", node, inputs, residual_first, own, count, 4);
        checked_int32_count(kAddOp, add_node, count);
        epi.residual = static_cast<const float*>(r.data);
        epi.residual_relu = relu;
        epi.relu_tail_from = count / 4 * 4;
        return reported;
    }
};

}  // namespace vantrel
