// Load-time rewrite of the graph: a float sequence product or convolution
// whose only reader is an exact (erf) GELU runs that GELU on its own output
// tiles, while each is in cache, instead of in a separate pass over memory. Only the in-memory
// node list changes; VANTREL_NO_FUSION=1 turns this off too.
#pragma once
#include <functional>
#include <string>

#include "loader/arch_loader.h"

namespace vantrel {

// Layers that can apply an element-wise activation to their own output.
class ActivationFusable {
public:
    // Asks the layer to take on the exact GELU of node `gelu_node`. Returns
    // false, changing nothing, when it cannot give that node's bits.
    virtual bool fuse_gelu_erf(const std::string& gelu_node) = 0;
    virtual ~ActivationFusable() = default;

protected:
    ActivationFusable() = default;
    ActivationFusable(const ActivationFusable&) = default;
    ActivationFusable& operator=(const ActivationFusable&) = default;
};

// Applies the rewrite to `g` (layers created, weights loaded); returns the
// number of activations folded. Runs before fuse_residual_adds, so a
// product can take both its GELU and the add after it.
int fuse_product_activations(ArchGraph& g);

// The rewrite's mechanism, shared with the other activation folds: each
// `act_op` node (no relu flag, one input, one output) whose input only it
// reads, written by a `producer_op` node serving that node alone, becomes
// the producer writing the activation's output, when take(producer's layer,
// activation node's name) accepts. Returns the number folded.
int fold_activation_nodes(ArchGraph& g, OpCode act_op, OpCode producer_op,
                          const std::function<bool(ILayer&, const std::string&)>& take);

}  // namespace vantrel
