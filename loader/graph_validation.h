// Load-time checks that a graph means one computation: every tensor a node
// reads exists before the node runs, and every tensor has one writer.
#pragma once
#include <string>

#include "loader/arch_loader.h"

namespace vantrel {

// Throws std::runtime_error("arch_loader: <path>: ...") naming the node and
// tensor when:
// - two nodes share a name but not their op and arguments (they would
//   share one layer);
// - a node reads a tensor that is neither a declared input nor written by an
//   earlier node (a forward reference or cycle reads stale data);
// - a node writes a declared input or a tensor another node writes (its own
//   input included: the output buffer may be reallocated under the view);
// - a declared output is neither a declared input nor written by a node.
void validate_graph(const ArchGraph& g, const std::string& path);

}  // namespace vantrel
