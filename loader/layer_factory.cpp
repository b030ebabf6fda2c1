#include "loader/layer_factory.h"

#include "layers/common/placeholder_layer.h"
#include "loader/layer_args.h"
#include "loader/op_registry.h"

namespace vantrel {

std::unique_ptr<ILayer> create_layer(const std::string& name, int32_t op, const JsonValue& node,
                                     bool relu) {
    const OpInfo* info = op_info(op);
    if (!info) return nullptr;
    LayerArgs args(op, node);
    std::unique_ptr<ILayer> layer = info->create(LayerInit{name, op, node, args});
    layer->name = name;
    layer->relu = relu;
    return layer;
}

std::unique_ptr<ILayer> create_placeholder(const LayerInit& init) {
    return std::make_unique<PlaceholderLayer>(init.op, init.args);
}

}  // namespace vantrel
