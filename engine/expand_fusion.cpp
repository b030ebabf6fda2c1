#include "engine/expand_fusion.h"

#include <string>
#include <vector>

#include "engine/activation_fusion.h"
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
        if ((dw.op != OP_CONV_FP32 && dw.op != OP_CONV_INT8) || dw.inputs.size() != 1 || dw.outputs.size() != 1)
            continue;
        // The expanded tensor disappears, so nothing else may read it; the
        // expansion's input must still hold its value when the fused node
        // runs (one writer), and each layer must serve one node.
        const int64_t p = uses.sole_feeder(g, d, dw.inputs[0], dropped);
        if (p < 0) continue;
        const ArchNode& ex = g.nodes[size_t(p)];
        if (ex.op != dw.op || ex.inputs.size() != 1 || uses.writers[ex.inputs[0]] > 1) continue;
        auto* f = uses.layer_of.count(dw.name) ? dynamic_cast<ExpandFusable*>(uses.layer_of[dw.name]) : nullptr;
        ILayer* el = uses.layer_of.count(ex.name) ? uses.layer_of[ex.name] : nullptr;
        if (!f || !el || !f->fuse_expand(*el)) continue;
        dw.inputs = {ex.inputs[0]};
        dropped[size_t(p)] = 1;
        ++fused;
    }
    drop_nodes(g, dropped, fused);
    return fused;
}

int fuse_depthwise_project(ArchGraph& g) {
    if (graph_fusion_disabled()) return 0;
    GraphUses uses(g);
    std::vector<char> dropped(g.nodes.size(), 0);
    int fused = 0;
    for (size_t q = 0; q < g.nodes.size(); ++q) {
        ArchNode& pr = g.nodes[q];
        if ((pr.op != OP_CONV_FP32 && pr.op != OP_CONV_INT8) || pr.inputs.empty() || pr.inputs.size() > 2 ||
            pr.outputs.size() != 1)
            continue;
        // The depthwise output disappears, so only the projection may read
        // it (once); the fused node runs where the projection ran, so the
        // depthwise input must still hold its value then (one writer).
        const int64_t p = uses.sole_feeder(g, q, pr.inputs[0], dropped);
        if (p < 0) continue;
        const ArchNode& dw = g.nodes[size_t(p)];
        if (dw.op != pr.op || dw.inputs.size() != 1 || uses.writers[dw.inputs[0]] > 1) continue;
        auto* f = uses.layer_of.count(dw.name) ? dynamic_cast<ProjectFusable*>(uses.layer_of[dw.name]) : nullptr;
        ILayer* pl = uses.layer_of.count(pr.name) ? uses.layer_of[pr.name] : nullptr;
        if (!f || !pl || !f->fuse_project(*pl)) continue;
        ArchNode merged = dw;
        merged.inputs = {dw.inputs[0]};
        if (pr.inputs.size() == 2) merged.inputs.push_back(pr.inputs[1]);
        merged.outputs = pr.outputs;
        pr = std::move(merged);
        dropped[size_t(p)] = 1;
        ++fused;
    }
    drop_nodes(g, dropped, fused);
    return fused;
}

int fuse_silu_activations(ArchGraph& g) {
    return fold_activation_nodes(g, OP_SILU_FP32, OP_CONV_FP32, [](ILayer& layer, const std::string& act) {
        auto* f = dynamic_cast<SiluFusable*>(&layer);
        return f && f->fuse_silu(act);
    });
}

}  // namespace vantrel
