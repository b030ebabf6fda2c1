#include "loader/layer_args.h"

#include <stdexcept>

#include "loader/op_registry.h"

namespace vantrel {

const std::vector<ArgSpec>& op_arg_specs(int32_t op) {
    static const std::vector<ArgSpec> none;
    const OpInfo* info = op_info(op);
    return info ? info->args : none;
}

const JsonValue* find_arg(const JsonValue& node, const std::string& key) {
    if (has(node, key)) return &at(node, key);
    if (has(node, "args")) {
        const JsonValue& args = at(node, "args");
        if (has(args, key)) return &at(args, key);
    }
    return nullptr;
}

int32_t arg_int(const JsonValue& node, const std::string& key, int32_t def) {
    const JsonValue* v = find_arg(node, key);
    return v ? json_number_to_int32(v->number) : def;
}

float arg_float(const JsonValue& node, const std::string& key, float def) {
    const JsonValue* v = find_arg(node, key);
    return v ? float(v->number) : def;
}

bool arg_bool(const JsonValue& node, const std::string& key) {
    const JsonValue* v = find_arg(node, key);
    return v ? json_flag(*v) : false;
}

LayerArgs::LayerArgs(int32_t op, const JsonValue& node) {
    for (const ArgSpec& s : op_arg_specs(op)) {
        Value v;
        v.key = s.key;
        v.type = s.type;
        switch (s.type) {
            case ArgType::Int: v.i = arg_int(node, s.key, int32_t(s.def)); break;
            case ArgType::Float: v.f = arg_float(node, s.key, float(s.def)); break;
            case ArgType::Bool: v.b = arg_bool(node, s.key); break;
        }
        values_.push_back(std::move(v));
    }
}

const LayerArgs::Value& LayerArgs::find(const std::string& key, ArgType t) const {
    for (const Value& v : values_)
        if (v.key == key && v.type == t) return v;
    throw std::logic_error("layer argument '" + key + "' is not declared for this op");
}

int32_t LayerArgs::i(const std::string& key) const { return find(key, ArgType::Int).i; }
float LayerArgs::f(const std::string& key) const { return find(key, ArgType::Float).f; }
bool LayerArgs::b(const std::string& key) const { return find(key, ArgType::Bool).b; }

bool LayerArgs::has(const std::string& key) const {
    for (const Value& v : values_)
        if (v.key == key) return true;
    return false;
}

int32_t conv_inner_k(int32_t c_in, int32_t groups, int32_t kh, int32_t kw) {
    int32_t g = groups > 0 ? groups : 1;
    // Saturate instead of overflowing; oversized geometry is rejected at load.
    int64_t k = int64_t(c_in / g) * kh * kw;
    if (k > INT32_MAX) return INT32_MAX;
    if (k < INT32_MIN) return INT32_MIN;
    return int32_t(k);
}

bool is_decoder_weight_name(const std::string& name) {
    return (name.size() >= 7 && name.compare(0, 7, "layers.") == 0) || name == "lm_head";
}

int activation_kind(int32_t op) {
    const OpInfo* info = op_info(op);
    if (!info || info->create != &create_activation_fp32) return -1;
    int kind = 0;
    for (int32_t code = 1; code < op; ++code)
        if (op_info(code)->create == &create_activation_fp32) ++kind;
    return kind;
}

}  // namespace vantrel
