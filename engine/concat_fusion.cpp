#include "engine/concat_fusion.h"

#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/residual_fusion.h"
#include "loader/op_table.h"

namespace vantrel {

namespace {

// The channel count every reader of `t` reads from it as its input 0 (-1
// when they disagree, one of them does not say or reads `t` elsewhere, or
// there is none); with `prefix`, each must read `t` there alone, so that it
// can read a wider tensor in its place.
int32_t readers_channels(const ArchGraph& g, GraphUses& uses, const std::vector<size_t>& readers,
                         const std::string& t, bool prefix) {
    int32_t c = -1;
    for (size_t r : readers) {
        const ArchNode& node = g.nodes[r];
        if (uses.node_uses[node.name] != 1 || !uses.layer_of.count(node.name)) return -1;
        auto* pr = dynamic_cast<ChannelPrefixReader*>(uses.layer_of[node.name]);
        if (!pr || pr->input_channels() <= 0) return -1;
        if (node.inputs.empty() || node.inputs[0] != t ||
            (prefix && std::count(node.inputs.begin(), node.inputs.end(), t) != 1))
            return -1;
        if (c >= 0 && c != pr->input_channels()) return -1;
        c = pr->input_channels();
    }
    return c;
}

}  // namespace

int share_concat_buffers(ArchGraph& g) {
    if (graph_fusion_disabled()) return 0;
    GraphUses uses(g);
    const size_t n = g.nodes.size();
    std::unordered_set<std::string> graph_outputs(g.output_names.begin(), g.output_names.end());
    std::unordered_map<std::string, std::vector<size_t>> readers;
    for (size_t i = 0; i < n; ++i)
        for (const std::string& in : g.nodes[i].inputs) readers[in].push_back(i);
    auto concat_layer = [&](size_t i) -> ConcatSliceWriter* {
        const ArchNode& node = g.nodes[i];
        if (node.op != OP_CONCAT_FP32 || node.outputs.size() != 1 || node.inputs.empty() ||
            uses.node_uses[node.name] != 1 || uses.writers[node.outputs[0]] != 1 || !uses.layer_of.count(node.name))
            return nullptr;
        return dynamic_cast<ConcatSliceWriter*>(uses.layer_of[node.name]);
    };
    // A concat read by one later concat alone is part of that one: its
    // inputs stand in its place.
    std::vector<char> inner(n, 0);
    for (size_t i = 0; i < n; ++i) {
        if (!concat_layer(i)) continue;
        const std::string& t = g.nodes[i].outputs[0];
        const std::vector<size_t>& r = readers[t];
        inner[i] = r.size() == 1 && r[0] > i && concat_layer(r[0]) && !graph_outputs.count(t);
    }
    // Each concat's inputs with its parts' inputs in their place (the
    // leaves) and the parts themselves.
    std::vector<std::vector<std::string>> leaves(n);
    std::vector<std::vector<size_t>> parts(n);
    for (size_t i = 0; i < n; ++i) {
        if (!concat_layer(i)) continue;
        for (const std::string& t : g.nodes[i].inputs) {
            auto p = uses.producer.find(t);
            if (p != uses.producer.end() && p->second < i && inner[p->second]) {
                leaves[i].insert(leaves[i].end(), leaves[p->second].begin(), leaves[p->second].end());
                parts[i].insert(parts[i].end(), parts[p->second].begin(), parts[p->second].end());
                parts[i].push_back(p->second);
            } else {
                leaves[i].push_back(t);
            }
        }
    }
    // Chains: the outer concats grouped by their first leaf, in node order.
    std::map<std::string, std::vector<size_t>> chains;
    for (size_t i = 0; i < n; ++i)
        if (concat_layer(i) && !inner[i]) chains[leaves[i][0]].push_back(i);

    std::vector<char> dropped(n, 0);
    int rewritten = 0, dropped_count = 0;
    for (auto& entry : chains) {
        const std::vector<size_t>& chain = entry.second;
        if (chain.size() < 2) continue;
        const size_t last = chain.back();
        const std::string& shared = g.nodes[last].outputs[0];
        std::vector<int32_t> ends(chain.size());
        bool ok = true;
        for (size_t k = 0; k < chain.size() && ok; ++k) {
            const size_t c = chain[k];
            const std::string& t = g.nodes[c].outputs[0];
            const bool final = k + 1 == chain.size();
            // Each concat extends the one before, and its new inputs are
            // written once, before it runs, and keep their value after it
            // (one writer): the shared buffer then holds what every concat
            // of the chain would.
            if (k > 0) {
                const std::vector<std::string>& prev = leaves[chain[k - 1]];
                ok = leaves[c].size() > prev.size() && std::equal(prev.begin(), prev.end(), leaves[c].begin());
            }
            const size_t from = k > 0 ? leaves[chain[k - 1]].size() : 0;
            ok = ok && leaves[c].size() - from <= size_t(kMaxLayerInputs);
            for (size_t j = from; j < leaves[c].size() && ok; ++j) {
                const std::string& leaf = leaves[c][j];
                auto p = uses.producer.find(leaf);
                ok = uses.writers[leaf] == 1 && (p == uses.producer.end() || p->second < c) && leaf != shared;
            }
            if (!ok) break;
            // A smaller concat disappears into the shared buffer, so its
            // readers must read the leading channels there.
            ok = final || !graph_outputs.count(t);
            ends[k] = ok ? readers_channels(g, uses, readers[t], t, !final) : -1;
            ok = ends[k] > 0 && (k == 0 || ends[k] > ends[k - 1]);
        }
        if (!ok) continue;
        std::vector<ConcatSliceWriter*> writers;
        for (size_t k = 0; k < chain.size(); ++k) {
            ConcatSliceWriter* w = concat_layer(chain[k]);
            if (!w->write_channel_slice(k > 0 ? ends[k - 1] : 0, ends[k], ends.back())) break;
            writers.push_back(w);
        }
        if (writers.size() != chain.size()) {
            for (ConcatSliceWriter* w : writers) w->write_channel_slice(0, 0, 0);
            continue;
        }
        // A reader left unchanged below reads a tensor of exactly its
        // channels, which it also does in prefix mode.
        for (size_t k = 0; k + 1 < chain.size(); ++k)
            for (size_t r : readers[g.nodes[chain[k]].outputs[0]])
                if (!dynamic_cast<ChannelPrefixReader*>(uses.layer_of[g.nodes[r].name])->read_channel_prefix())
                    ok = false;
        if (!ok) {
            for (ConcatSliceWriter* w : writers) w->write_channel_slice(0, 0, 0);
            continue;
        }
        for (size_t k = 0; k < chain.size(); ++k) {
            ArchNode& node = g.nodes[chain[k]];
            const size_t from = k > 0 ? leaves[chain[k - 1]].size() : 0;
            const std::string t = node.outputs[0];
            if (k + 1 < chain.size())
                for (size_t r : readers[t]) g.nodes[r].inputs[0] = shared;
            node.inputs.assign(leaves[chain[k]].begin() + std::ptrdiff_t(from), leaves[chain[k]].end());
            node.outputs = {shared};
            for (size_t p : parts[chain[k]])
                if (!dropped[p]) {
                    dropped[p] = 1;
                    ++dropped_count;
                }
            ++rewritten;
        }
    }
    drop_nodes(g, dropped, dropped_count);
    return rewritten;
}

}  // namespace vantrel
