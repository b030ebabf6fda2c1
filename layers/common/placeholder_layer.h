// Stands in for an op whose layer class this build does not provide yet: it
// keeps the node's arguments and refuses to run with a clear error.
#pragma once
#include <stdexcept>
#include <string>

#include "layers/common/layer_base.h"
#include "loader/layer_args.h"
#include "loader/op_table.h"

namespace vantrel {

class PlaceholderLayer final : public ShapeKeeping<Fp32Layer> {
public:
    PlaceholderLayer(int32_t op, LayerArgs args) : op_(op), args_(std::move(args)) {}

    Shape3 forward(const TensorView*, int, const BufferView*, ExecContext*) override {
        throw std::runtime_error(std::string("op '") + op_name_from_code(op_) + "' (node '" + name +
                                 "') is not supported by this build");
    }
    // Every int8 op has its own layer, so a placeholder only stands in for
    // float ops.

    int32_t op() const { return op_; }
    const LayerArgs& args() const { return args_; }

private:
    int32_t op_;
    LayerArgs args_;
};

}  // namespace vantrel
