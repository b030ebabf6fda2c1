#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/tensor_slots.h"

using namespace vantrel;

namespace {

struct Case {
    const char* what;
    std::vector<std::pair<std::vector<std::string>, std::string>> nodes;  // inputs -> output
    std::vector<std::string> outputs;
    std::vector<uint64_t> bytes;  // per tensor: x, then node outputs in order
    std::vector<int> slots;       // expected slot per tensor
};

}  // namespace

TEST(TensorSlots, TensorsShareOnlyWhenTheirLivesDoNotOverlap) {
    const std::vector<Case> cases = {
        // a dies once b is written, so c takes its buffer; the output d keeps
        // its own.
        {"chain", {{{"x"}, "a"}, {{"a"}, "b"}, {{"b"}, "c"}, {{"c"}, "d"}}, {"d"}, {8, 8, 8, 8, 8}, {0, 2, 3, 2, 1}},
        // a is read again by the last node: neither b nor c may take its buffer.
        {"residual", {{{"x"}, "a"}, {{"a"}, "b"}, {{"b"}, "c"}, {{"a", "c"}, "d"}}, {"d"}, {8, 8, 8, 8, 8},
         {0, 2, 3, 4, 1}},
        // y is read before the node that writes it runs: it keeps its own.
        {"read early", {{{"x", "y"}, "a"}, {{"a"}, "y"}, {{"y"}, "b"}}, {"b"}, {8, 8, 8, 8}, {0, 3, 1, 2}},
        // Two free buffers of 100 and 10 bytes: 8 bytes take the 10, then 50 the 100.
        {"best fit",
         {{{"x"}, "a"}, {{"x"}, "b"}, {{"a", "b"}, "c"}, {{"c"}, "d"}, {{"d"}, "e"}, {{"c", "e"}, "f"}},
         {"f"}, {4, 100, 10, 4, 8, 50, 4}, {0, 2, 3, 4, 3, 2, 1}},
    };
    for (const Case& c : cases) {
        ArchGraph g;
        g.inputs.push_back(InputSpec{"x", {1}, 1.0f, 0, "float32"});
        std::unordered_map<std::string, int> index{{"x", 0}};
        for (const auto& n : c.nodes) {
            g.nodes.push_back(ArchNode{n.second, OP_ADD_FP32, n.first, {n.second}, false, ""});
            index.emplace(n.second, int(index.size()));
        }
        g.output_names = c.outputs;
        const TensorSlots s = plan_tensor_slots(g, index, c.bytes);
        std::vector<int> got(index.size());
        for (const auto& kv : index) got[size_t(kv.second)] = s.slot_of[size_t(kv.second)];
        EXPECT_EQ(got, c.slots) << c.what;
        const TensorSlots own = plan_tensor_slots(g, index, c.bytes, false);
        EXPECT_EQ(own.count, int(index.size())) << c.what;
    }
}
