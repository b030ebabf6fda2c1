// The architecture file: model name, inputs, outputs and the node list,
// loaded into an ArchGraph with one layer per known node.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "loader/op_table.h"

namespace vantrel {

struct InputSpec {
    std::string name = "x";
    std::vector<int> shape;
    float scale = 1.0f;
    int32_t zp = 0;
    std::string dtype = "int8";
};

struct ArchNode {
    std::string name;
    OpCode op = OP_UNKNOWN;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    bool relu = false;
    // The argument values the node's layer reads, as text: nodes that share
    // a name share one layer, which is only sound when these agree.
    std::string args_key;
};

struct ArchGraph {
    std::string model_name;
    std::vector<InputSpec> inputs;
    std::vector<std::string> output_names;
    std::vector<ArchNode> nodes;
    std::vector<std::unique_ptr<ILayer>> layers;
};

// Largest architecture file read (64 MiB); real ones are kilobytes.
constexpr uint64_t kMaxArchFileBytes = uint64_t(64) << 20;

// [h, w, c] when w != 1, [c] when w == h == 1, [h, c] otherwise.
std::vector<int> make_input_shape(int h, int w, int c);

ArchGraph load_arch(const std::string& path);
// The same from text already in memory; `path` only names the file in errors.
ArchGraph load_arch_text(const std::string& text, const std::string& path);

}  // namespace vantrel
