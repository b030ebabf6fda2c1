// Load-time rewrite of the graph: a convolution (or a transformer's float
// sequence product or attention block) whose only reader is an element-wise
// add of its own type (float, or int8 with requantisation) takes that add
// (and a float add's ReLU) into its own epilogue, so
// the sum is formed while each output tile is still in cache instead of in a
// separate pass over memory. The file format is untouched: only the
// in-memory node list changes. VANTREL_NO_FUSION=1 turns the rewrite off.
#pragma once
#include <string>
#include <unordered_map>
#include <vector>

#include "loader/arch_loader.h"

namespace vantrel {

// Layers that can add a residual operand to their own output. The fused node
// reads the layer's usual input as input 0 and the residual as input 1.
class ResidualFusable {
public:
    // Asks the layer to take on the add of node `add_node` (its sum's ReLU
    // when `relu`; `residual_first` when the residual was the add's input 0,
    // whose shape the add reported). Returns false, changing nothing, when
    // this layer cannot compute it bit for bit as the separate add would.
    virtual bool fuse_residual_add(const std::string& add_node, bool residual_first, bool relu) = 0;
    virtual ~ResidualFusable() = default;

protected:
    ResidualFusable() = default;
    ResidualFusable(const ResidualFusable&) = default;
    ResidualFusable& operator=(const ResidualFusable&) = default;
};

// The same for int8 layers; `add` is the folded add's own layer, whose
// quantisation the fused epilogue has to reproduce.
class ResidualFusableInt8 {
public:
    virtual bool fuse_residual_add_int8(const std::string& add_node, bool residual_first, const ILayer& add) = 0;
    virtual ~ResidualFusableInt8() = default;

protected:
    ResidualFusableInt8() = default;
    ResidualFusableInt8(const ResidualFusableInt8&) = default;
    ResidualFusableInt8& operator=(const ResidualFusableInt8&) = default;
};

// What the load-time folds check before they merge a node into the node
// that computes its input: how often each tensor is read and written, how
// often each node name is used, each node's layer, and the node that writes
// each tensor when it writes that one alone.
struct GraphUses {
    std::unordered_map<std::string, int> readers, writers, node_uses;
    std::unordered_map<std::string, ILayer*> layer_of;
    std::unordered_map<std::string, size_t> producer;
    explicit GraphUses(const ArchGraph& g);

    // The node before node `c`, not yet `dropped`, that writes tensor `t`
    // for node `c` alone: `t` has that one writer and one reader, and each
    // of the two nodes' layers serves one node. -1 when there is none. What
    // every fold checks before it merges the two nodes.
    int64_t sole_feeder(const ArchGraph& g, size_t c, const std::string& t, const std::vector<char>& dropped);
};

// Removes the `count` nodes marked in `dropped`, keeping the others' order.
void drop_nodes(ArchGraph& g, const std::vector<char>& dropped, int count);

// Whether VANTREL_NO_FUSION asks for the graph as written.
bool graph_fusion_disabled();

// Applies the rewrite to `g` (layers created, weights loaded); returns the
// number of adds folded.
int fuse_residual_adds(ArchGraph& g);

}  // namespace vantrel
