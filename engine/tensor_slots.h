// Tensor memory shared by lifetime: tensors whose lives do not overlap in
// the node order share one buffer ("slot"), so the activations a pass
// touches stay few and warm in cache instead of each tensor holding its own.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "loader/arch_loader.h"

namespace vantrel {

struct TensorSlots {
    std::vector<int> slot_of;  // per tensor index
    int count = 0;
};

// `index` maps tensor names to indices; `bytes` is each tensor's planned
// size, used only to pair tensors with slots of similar size. A tensor gets
// a slot of its own when it must keep its contents beyond its last reader or
// may be read before this pass writes it: model inputs and outputs, tensors
// no node or several nodes write, tensors read at or before their writer,
// and outputs other than a node's first (which no node writes). Without
// `share` every tensor has its own.
TensorSlots plan_tensor_slots(const ArchGraph& g, const std::unordered_map<std::string, int>& index,
                              const std::vector<uint64_t>& bytes, bool share = true);

}  // namespace vantrel
