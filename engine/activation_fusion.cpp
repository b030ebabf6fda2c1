#include "engine/activation_fusion.h"

#include <functional>
#include <vector>

#include "engine/residual_fusion.h"
#include "loader/op_table.h"

namespace vantrel {

int fold_activation_nodes(ArchGraph& g, OpCode act_op, OpCode producer_op,
                          const std::function<bool(ILayer&, const std::string&)>& take) {
    if (graph_fusion_disabled()) return 0;
    GraphUses uses(g);

    std::vector<char> dropped(g.nodes.size(), 0);
    int fused = 0;
    for (size_t a = 0; a < g.nodes.size(); ++a) {
        ArchNode& act = g.nodes[a];
        if (act.op != act_op || act.relu || act.inputs.size() != 1 || act.outputs.size() != 1) continue;
        // The activation's output replaces the producer's, so nothing else
        // may see the producer's, and each layer must serve its node alone.
        const int64_t p = uses.sole_feeder(g, a, act.inputs[0], dropped);
        if (p < 0) continue;
        ArchNode& prod = g.nodes[size_t(p)];
        if (prod.op != producer_op) continue;
        ILayer* layer = uses.layer_of.count(prod.name) ? uses.layer_of[prod.name] : nullptr;
        if (!layer || !take(*layer, act.name)) continue;
        ArchNode merged = prod;
        merged.outputs = act.outputs;
        act = std::move(merged);
        dropped[size_t(p)] = 1;
        ++fused;
    }
    drop_nodes(g, dropped, fused);
    return fused;
}

int fuse_product_activations(ArchGraph& g) {
    auto take = [](ILayer& layer, const std::string& act) {
        auto* f = dynamic_cast<ActivationFusable*>(&layer);
        return f && f->fuse_gelu_erf(act);
    };
    // Sequence products (transformer MLPs) and 1x1 convolutions (channels-last
    // MLPs of ConvNeXt-style blocks).
    return fold_activation_nodes(g, OP_GELU_ERF_FP32, OP_SEQGEMM_FP32, take) +
           fold_activation_nodes(g, OP_GELU_ERF_FP32, OP_CONV_FP32, take);
}

}  // namespace vantrel
