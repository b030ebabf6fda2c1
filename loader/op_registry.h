// The op registry: what loader/op_registry.def declares about every op (name,
// code, element types, argument specs, create function), in code order.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "loader/json.h"
#include "loader/layer_args.h"
#include "loader/op_table.h"

namespace vantrel {

// What a create function builds its layer from. The factory sets the
// layer's name and relu flag afterwards.
struct LayerInit {
    const std::string& name;
    int32_t op;
    const JsonValue& node;
    const LayerArgs& args;  // read per the op's registry line
};

using LayerCreateFn = std::unique_ptr<ILayer> (*)(const LayerInit&);

// Each create function is defined at the end of its layer's .cpp.
#define VANTREL_OP(stem, name, reads, writes, create, ...) std::unique_ptr<ILayer> create(const LayerInit&);
#include "loader/op_registry.def"

// For a registry line whose layer class is not built yet: a layer that keeps
// the node's arguments and refuses to run.
std::unique_ptr<ILayer> create_placeholder(const LayerInit& init);

struct OpInfo {
    const char* name;
    OpCode code;
    int input_dtype;   // LayerDtype the layer reads
    int output_dtype;  // LayerDtype the layer writes
    LayerCreateFn create;
    std::vector<ArgSpec> args;
};

// The registry line of a code; null outside 1..kOpCount.
const OpInfo* op_info(int32_t code);

struct OpAlias {
    const char* name;
    OpCode code;
};
const std::vector<OpAlias>& op_aliases();

}  // namespace vantrel
