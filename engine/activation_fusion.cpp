#include "engine/activation_fusion.h"

#include <unordered_map>
#include <vector>

#include "engine/residual_fusion.h"
#include "loader/op_table.h"

namespace vantrel {

int fuse_product_activations(ArchGraph& g) {
    if (graph_fusion_disabled()) return 0;
    GraphUses uses(g);

    std::vector<char> dropped(g.nodes.size(), 0);
    int fused = 0;
    for (size_t a = 0; a < g.nodes.size(); ++a) {
        ArchNode& act = g.nodes[a];
        if (act.op != OP_GELU_ERF_FP32 || act.relu || act.inputs.size() != 1 || act.outputs.size() != 1) continue;
        const std::string& t = act.inputs[0];
        auto p = uses.producer.find(t);
        if (p == uses.producer.end() || p->second >= a || dropped[p->second]) continue;
        ArchNode& prod = g.nodes[p->second];
        // The activation's output replaces the product's, so nothing else
        // may see the product's, and each layer must serve its node alone.
        if (prod.op != OP_SEQGEMM_FP32 || uses.readers[t] != 1 || uses.writers[t] != 1 ||
            uses.node_uses[prod.name] != 1 || uses.node_uses[act.name] != 1)
            continue;
        auto* f =
            dynamic_cast<ActivationFusable*>(uses.layer_of.count(prod.name) ? uses.layer_of[prod.name] : nullptr);
        if (!f || !f->fuse_gelu_erf(act.name)) continue;
        ArchNode merged = prod;
        merged.outputs = act.outputs;
        act = std::move(merged);
        dropped[p->second] = 1;
        ++fused;
    }
    drop_nodes(g, dropped, fused);
    return fused;
}

}  // namespace vantrel
