#include "loader/graph_validation.h"

#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

namespace vantrel {

namespace {
[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw std::runtime_error("arch_loader: " + path + ": " + what);
}
}  // namespace

void validate_graph(const ArchGraph& g, const std::string& path) {
    std::unordered_set<std::string> inputs;
    for (const InputSpec& s : g.inputs) inputs.insert(s.name);
    // Tensor name -> name of the node that writes it.
    std::unordered_map<std::string, std::string> writer;
    // Nodes of one name share one layer (and so their weights); that is
    // only what the file says when they are the same op with the same
    // arguments.
    std::unordered_map<std::string, const ArchNode*> by_name;
    for (const ArchNode& n : g.nodes) {
        auto named = by_name.emplace(n.name, &n);
        if (!named.second && named.first->second->args_key != n.args_key)
            fail(path, "two nodes are named '" + n.name +
                           "' with different ops or arguments; they would run one layer");
        for (const std::string& t : n.inputs)
            if (!inputs.count(t) && !writer.count(t))
                fail(path, "node '" + n.name + "' reads tensor '" + t +
                               "', which is neither a declared input nor written by an earlier node");
        for (const std::string& t : n.outputs) {
            if (inputs.count(t)) fail(path, "node '" + n.name + "' writes tensor '" + t + "', a declared input");
            auto w = writer.emplace(t, n.name);
            if (!w.second)
                fail(path, "node '" + n.name + "' writes tensor '" + t + "', already written by node '" +
                               w.first->second + "'");
        }
    }
    for (const std::string& t : g.output_names)
        if (!inputs.count(t) && !writer.count(t))
            fail(path, "declared output '" + t + "' is neither a declared input nor written by any node");
}

}  // namespace vantrel
