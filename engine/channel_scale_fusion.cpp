#include "engine/channel_scale_fusion.h"

#include <string>
#include <vector>

#include "engine/residual_fusion.h"
#include "loader/op_table.h"

namespace vantrel {

int fuse_channel_scales(ArchGraph& g) {
    if (graph_fusion_disabled()) return 0;
    GraphUses uses(g);
    std::vector<char> dropped(g.nodes.size(), 0);
    int fused = 0;
    for (size_t q = 0; q < g.nodes.size(); ++q) {
        ArchNode& conv = g.nodes[q];
        if (conv.op != OP_CONV_FP32 || conv.inputs.empty() || conv.inputs.size() > 2 || conv.outputs.size() != 1)
            continue;
        // The scaled tensor disappears, so only the convolution may read it
        // (once); the fused node runs where the convolution ran, so the
        // image and the scale must still hold their values then (one writer
        // each).
        const std::string& t = conv.inputs[0];
        const int64_t p = uses.sole_feeder(g, q, t, dropped);
        if (p < 0) continue;
        const ArchNode& mul = g.nodes[size_t(p)];
        if (mul.op != OP_CHANNEL_MUL_FP32 || mul.inputs.size() != 2 || mul.inputs[0] == t || mul.inputs[1] == t ||
            uses.writers[mul.inputs[0]] > 1 || uses.writers[mul.inputs[1]] > 1)
            continue;
        auto* f = uses.layer_of.count(conv.name) ? dynamic_cast<ChannelScaleFusable*>(uses.layer_of[conv.name])
                                                 : nullptr;
        if (!f || !f->fuse_channel_scale(mul.name)) continue;
        std::vector<std::string> inputs{mul.inputs[0]};
        if (conv.inputs.size() == 2) inputs.push_back(conv.inputs[1]);
        inputs.push_back(mul.inputs[1]);
        conv.inputs = std::move(inputs);
        dropped[size_t(p)] = 1;
        ++fused;
    }
    drop_nodes(g, dropped, fused);
    return fused;
}

}  // namespace vantrel
