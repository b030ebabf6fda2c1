#include "engine/tensor_slots.h"

#include <algorithm>

namespace vantrel {

TensorSlots plan_tensor_slots(const ArchGraph& g, const std::unordered_map<std::string, int>& index,
                              const std::vector<uint64_t>& bytes, bool share) {
    const size_t n = index.size();
    const int64_t nodes = int64_t(g.nodes.size());
    constexpr int64_t kNone = -1;
    std::vector<int64_t> writer(n, kNone), last(n, kNone);
    std::vector<char> own(n, 0);
    auto idx = [&](const std::string& name) {
        auto it = index.find(name);
        return it == index.end() ? -1 : it->second;
    };
    for (const InputSpec& s : g.inputs)
        if (idx(s.name) >= 0) own[size_t(idx(s.name))] = 1;
    for (const std::string& o : g.output_names)
        if (idx(o) >= 0) own[size_t(idx(o))] = 1;
    for (int64_t i = 0; i < nodes; ++i) {
        const ArchNode& node = g.nodes[size_t(i)];
        for (size_t k = 0; k < node.outputs.size(); ++k) {
            const int t = idx(node.outputs[k]);
            if (t < 0) continue;
            if (k > 0 || writer[size_t(t)] != kNone) own[size_t(t)] = 1;
            if (k == 0 && writer[size_t(t)] == kNone) writer[size_t(t)] = i;
        }
        for (const std::string& in : node.inputs) {
            const int t = idx(in);
            if (t < 0) continue;
            if (writer[size_t(t)] == kNone || writer[size_t(t)] >= i) own[size_t(t)] = 1;
            last[size_t(t)] = i;
        }
    }

    TensorSlots out;
    out.slot_of.assign(n, -1);
    std::vector<uint64_t> slot_bytes;
    auto new_slot = [&](uint64_t b) {
        slot_bytes.push_back(b);
        return out.count++;
    };
    for (size_t t = 0; t < n; ++t)
        if (!share || own[t] || writer[t] == kNone) out.slot_of[t] = new_slot(bytes[t]);

    // Free slots are taken best fit: the smallest that holds the tensor, else
    // the largest (it grows), so the total stays near the peak of live bytes.
    std::vector<int> free_slots;
    std::vector<std::vector<int>> release_after(static_cast<size_t>(nodes));
    for (int64_t i = 0; i < nodes; ++i) {
        const ArchNode& node = g.nodes[size_t(i)];
        const int t = node.outputs.empty() ? -1 : idx(node.outputs[0]);
        if (t >= 0 && out.slot_of[size_t(t)] < 0 && writer[size_t(t)] == i) {
            const uint64_t need = bytes[size_t(t)];
            int best = -1;
            for (size_t f = 0; f < free_slots.size(); ++f) {
                const uint64_t have = slot_bytes[size_t(free_slots[f])];
                if (best < 0) { best = int(f); continue; }
                const uint64_t cur = slot_bytes[size_t(free_slots[size_t(best)])];
                const bool fits = have >= need, cur_fits = cur >= need;
                if ((fits && (!cur_fits || have < cur)) || (!fits && !cur_fits && have > cur)) best = int(f);
            }
            int s;
            if (best >= 0) {
                s = free_slots[size_t(best)];
                free_slots.erase(free_slots.begin() + best);
                slot_bytes[size_t(s)] = std::max(slot_bytes[size_t(s)], need);
            } else {
                s = new_slot(need);
            }
            out.slot_of[size_t(t)] = s;
            // Released once its last reader has run (at once when none reads it).
            release_after[size_t(std::max(last[size_t(t)], i))].push_back(s);
        }
        for (int s : release_after[size_t(i)]) free_slots.push_back(s);
    }
    return out;
}

}  // namespace vantrel
