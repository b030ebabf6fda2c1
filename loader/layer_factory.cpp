#include "loader/layer_factory.h"

#include "layers/placeholder_layer.h"
#include "loader/layer_args.h"
#include "loader/op_table.h"

namespace vantrel {

std::unique_ptr<ILayer> create_layer(const std::string& name, int32_t op, const JsonValue& node,
                                     bool relu) {
    if (op < 1 || op > kOpCount) return nullptr;
    LayerArgs args(op, node);
    std::unique_ptr<ILayer> layer;
    switch (op) {
        // Layer classes join here as they are built; until then an op keeps
        // its arguments in a placeholder that refuses to run.
        // -- element-wise and activation layers
        // -- pooling and resampling layers
        // -- float convolution and fully connected layers
        default: layer.reset(new PlaceholderLayer(op, std::move(args))); break;
    }
    layer->name = name;
    layer->relu = relu;
    return layer;
}

}  // namespace vantrel
