#include "engine/residual_fusion.h"

#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "loader/op_table.h"

namespace vantrel {

bool graph_fusion_disabled() {
    const char* v = std::getenv("VANTREL_NO_FUSION");
    return v && *v && std::strcmp(v, "0") != 0;
}

GraphUses::GraphUses(const ArchGraph& g) {
    for (const ArchNode& n : g.nodes) {
        for (const std::string& in : n.inputs) ++readers[in];
        for (const std::string& out : n.outputs) ++writers[out];
        ++node_uses[n.name];
    }
    for (const std::string& o : g.output_names) ++readers[o];
    for (const InputSpec& s : g.inputs) ++writers[s.name];
    for (auto& l : g.layers) layer_of[l->name] = l.get();
    for (size_t i = 0; i < g.nodes.size(); ++i)
        if (g.nodes[i].outputs.size() == 1) producer[g.nodes[i].outputs[0]] = i;
}

int64_t GraphUses::sole_feeder(const ArchGraph& g, size_t c, const std::string& t,
                               const std::vector<char>& dropped) {
    auto p = producer.find(t);
    if (p == producer.end() || p->second >= c || dropped[p->second]) return -1;
    if (readers[t] != 1 || writers[t] != 1 || node_uses[g.nodes[p->second].name] != 1 ||
        node_uses[g.nodes[c].name] != 1)
        return -1;
    return int64_t(p->second);
}

void drop_nodes(ArchGraph& g, const std::vector<char>& dropped, int count) {
    if (count <= 0) return;
    std::vector<ArchNode> kept;
    kept.reserve(g.nodes.size() - size_t(count));
    for (size_t i = 0; i < g.nodes.size(); ++i)
        if (!dropped[i]) kept.push_back(std::move(g.nodes[i]));
    g.nodes = std::move(kept);
}

int fuse_residual_adds(ArchGraph& g) {
    if (graph_fusion_disabled()) return 0;
    GraphUses uses(g);

    std::vector<char> dropped(g.nodes.size(), 0);
    int fused = 0;
    for (size_t a = 0; a < g.nodes.size(); ++a) {
        ArchNode& add = g.nodes[a];
        const bool int8 = add.op == OP_ADD_INT8;
        if ((add.op != OP_ADD_FP32 && !int8) || add.inputs.size() != 2 || add.outputs.size() != 1 ||
            add.inputs[0] == add.inputs[1])
            continue;
        for (int side = 0; side < 2; ++side) {
            const int64_t p = uses.sole_feeder(g, a, add.inputs[size_t(side)], dropped);
            if (p < 0) continue;
            ArchNode& conv = g.nodes[size_t(p)];
            // The sum replaces the convolution's output, so nothing else may
            // see that output, and the layer must serve this node alone.
            // A sequence product or attention block takes the residual as
            // its second input, so it must have no other.
            const bool takes_residual =
                int8 ? conv.op == OP_CONV_INT8
                     : conv.op == OP_CONV_FP32 || ((conv.op == OP_SEQGEMM_FP32 || conv.op == OP_ATTENTION_FP32) &&
                                                   conv.inputs.size() == 1);
            if (!takes_residual || conv.inputs.empty() || uses.writers[conv.inputs[0]] > 1) continue;
            ILayer* cl = uses.layer_of.count(conv.name) ? uses.layer_of[conv.name] : nullptr;
            if (int8) {
                auto* f = dynamic_cast<ResidualFusableInt8*>(cl);
                const ILayer* al = uses.layer_of.count(add.name) ? uses.layer_of[add.name] : nullptr;
                if (!f || !al || !f->fuse_residual_add_int8(add.name, side == 1, *al)) continue;
            } else {
                auto* f = dynamic_cast<ResidualFusable*>(cl);
                if (!f || !f->fuse_residual_add(add.name, side == 1, add.relu)) continue;
            }
            // The fused node runs where the add ran: its residual may be
            // computed after the convolution's input.
            const std::string residual = add.inputs[size_t(1 - side)];
            ArchNode merged = conv;
            merged.inputs = {conv.inputs[0], residual};
            merged.outputs = add.outputs;
            add = std::move(merged);
            dropped[size_t(p)] = 1;
            ++fused;
            break;
        }
    }
    drop_nodes(g, dropped, fused);
    return fused;
}

}  // namespace vantrel
