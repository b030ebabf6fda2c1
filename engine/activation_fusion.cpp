#include "engine/activation_fusion.h"

#include <unordered_map>
#include <vector>

#include "engine/residual_fusion.h"
#include "loader/op_table.h"

namespace vantrel {

int fuse_product_activations(ArchGraph& g) {
    if (graph_fusion_disabled()) return 0;
    std::unordered_map<std::string, int> readers, writers, node_uses;
    for (const ArchNode& n : g.nodes) {
        for (const std::string& in : n.inputs) ++readers[in];
        for (const std::string& out : n.outputs) ++writers[out];
        ++node_uses[n.name];
    }
    for (const std::string& o : g.output_names) ++readers[o];
    for (const InputSpec& s : g.inputs) ++writers[s.name];
    std::unordered_map<std::string, ILayer*> layer_of;
    for (auto& l : g.layers) layer_of[l->name] = l.get();
    std::unordered_map<std::string, size_t> producer;
    for (size_t i = 0; i < g.nodes.size(); ++i)
        if (g.nodes[i].outputs.size() == 1) producer[g.nodes[i].outputs[0]] = i;

    std::vector<char> dropped(g.nodes.size(), 0);
    int fused = 0;
    for (size_t a = 0; a < g.nodes.size(); ++a) {
        ArchNode& act = g.nodes[a];
        if (act.op != OP_GELU_ERF_FP32 || act.relu || act.inputs.size() != 1 || act.outputs.size() != 1) continue;
        const std::string& t = act.inputs[0];
        auto p = producer.find(t);
        if (p == producer.end() || p->second >= a || dropped[p->second]) continue;
        ArchNode& prod = g.nodes[p->second];
        // The activation's output replaces the product's, so nothing else
        // may see the product's, and each layer must serve its node alone.
        if (prod.op != OP_SEQGEMM_FP32 || readers[t] != 1 || writers[t] != 1 || node_uses[prod.name] != 1 ||
            node_uses[act.name] != 1)
            continue;
        auto* f = dynamic_cast<ActivationFusable*>(layer_of.count(prod.name) ? layer_of[prod.name] : nullptr);
        if (!f || !f->fuse_gelu_erf(act.name)) continue;
        ArchNode merged = prod;
        merged.outputs = act.outputs;
        act = std::move(merged);
        dropped[p->second] = 1;
        ++fused;
    }
    if (fused) {
        std::vector<ArchNode> kept;
        kept.reserve(g.nodes.size() - size_t(fused));
        for (size_t i = 0; i < g.nodes.size(); ++i)
            if (!dropped[i]) kept.push_back(std::move(g.nodes[i]));
        g.nodes = std::move(kept);
    }
    return fused;
}

}  // namespace vantrel
