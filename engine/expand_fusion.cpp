#include "engine/expand_fusion.h"

#include <string>
#include <vector>

#include "engine/residual_fusion.h"
#include "loader/op_table.h"

namespace vantrel {

int fuse_expand_depthwise(ArchGraph& g) {
    if (graph_fusion_disabled()) return 0;
    GraphUses uses(g);
    std::vector<char> dropped(g.nodes.size(), 0);
    int fused = 0;
    for (size_t d = 0; d < g.nodes.size(); ++d) {
        ArchNode& dw = g.nodes[d];
        if (dw.op != OP_CONV_FP32 || dw.inputs.size() != 1 || dw.outputs.size() != 1) continue;
        const std::string& t = dw.inputs[0];
        auto p = uses.producer.find(t);
        if (p == uses.producer.end() || p->second >= d || dropped[p->second]) continue;
        const ArchNode& ex = g.nodes[p->second];
        // The expanded tensor disappears, so nothing else may read it; the
        // expansion's input must still hold its value when the fused node
        // runs (one writer), and each layer must serve one node.
        if (ex.op != OP_CONV_FP32 || ex.inputs.size() != 1 || uses.readers[t] != 1 || uses.writers[t] != 1 ||
            uses.writers[ex.inputs[0]] > 1 || uses.node_uses[ex.name] != 1 || uses.node_uses[dw.name] != 1)
            continue;
        auto* f = uses.layer_of.count(dw.name) ? dynamic_cast<ExpandFusable*>(uses.layer_of[dw.name]) : nullptr;
        ILayer* el = uses.layer_of.count(ex.name) ? uses.layer_of[ex.name] : nullptr;
        if (!f || !el || !f->fuse_expand(*el)) continue;
        dw.inputs = {ex.inputs[0]};
        dropped[p->second] = 1;
        ++fused;
    }
    drop_nodes(g, dropped, fused);
    return fused;
}

int fuse_silu_activations(ArchGraph& g) {
    if (graph_fusion_disabled()) return 0;
    GraphUses uses(g);
    std::vector<char> dropped(g.nodes.size(), 0);
    int fused = 0;
    for (size_t a = 0; a < g.nodes.size(); ++a) {
        ArchNode& act = g.nodes[a];
        if (act.op != OP_SILU_FP32 || act.relu || act.inputs.size() != 1 || act.outputs.size() != 1) continue;
        const std::string& t = act.inputs[0];
        auto p = uses.producer.find(t);
        if (p == uses.producer.end() || p->second >= a || dropped[p->second]) continue;
        ArchNode& prod = g.nodes[p->second];
        // The activation's output replaces the layer's, so nothing else may
        // see the layer's, and each layer must serve its node alone.
        if (prod.op != OP_CONV_FP32 || uses.readers[t] != 1 || uses.writers[t] != 1 ||
            uses.node_uses[prod.name] != 1 || uses.node_uses[act.name] != 1)
            continue;
        auto* f = uses.layer_of.count(prod.name) ? dynamic_cast<SiluFusable*>(uses.layer_of[prod.name]) : nullptr;
        if (!f || !f->fuse_silu(act.name)) continue;
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
