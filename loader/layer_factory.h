// Turns one architecture node into one layer object.
#pragma once
#include <memory>
#include <string>

#include "engine/layer.h"
#include "loader/json.h"

namespace vantrel {

// Null for codes outside 1..kOpCount (an unknown op has already been warned about).
std::unique_ptr<ILayer> create_layer(const std::string& name, int32_t op, const JsonValue& node,
                                     bool relu);

}  // namespace vantrel
