// Argument specs (declared per op in loader/op_registry.def) and the readers
// that take argument values from a node.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "loader/json.h"
#include "loader/op_table.h"

namespace vantrel {

enum class ArgType { Int, Float, Bool };

struct ArgSpec {
    const char* key;
    ArgType type;
    double def;
    // A key beyond the op's fixed argument table (read the same way).
    bool optional = false;
};

// Keys, types and defaults an op reads, in registry order; empty for ops
// without arguments and for codes outside 1..kOpCount.
const std::vector<ArgSpec>& op_arg_specs(int32_t op);

// A node member wins over an "args" member of the same name.
const JsonValue* find_arg(const JsonValue& node, const std::string& key);
int32_t arg_int(const JsonValue& node, const std::string& key, int32_t def);
float arg_float(const JsonValue& node, const std::string& key, float def);
bool arg_bool(const JsonValue& node, const std::string& key);

// Values of one node's arguments, read per its op's table.
class LayerArgs {
public:
    struct Value {
        std::string key;
        ArgType type;
        int32_t i = 0;
        float f = 0.0f;
        bool b = false;
    };

    LayerArgs() = default;
    LayerArgs(int32_t op, const JsonValue& node);

    // Throw std::logic_error for a key the op does not declare (a coding
    // fault, never a file fault).
    int32_t i(const std::string& key) const;
    float f(const std::string& key) const;
    bool b(const std::string& key) const;
    bool has(const std::string& key) const;
    const std::vector<Value>& values() const { return values_; }

private:
    const Value& find(const std::string& key, ArgType t) const;
    std::vector<Value> values_;
};

// Inner product length of a 2-D convolution; a non-positive group count is
// treated as 1.
int32_t conv_inner_k(int32_t c_in, int32_t groups, int32_t kh, int32_t kw);
// Sequence products whose weights are a decoder's get a huge-page hint.
bool is_decoder_weight_name(const std::string& name);
// Activation kind of the ActivationFp32 ops: leaky 0, exp 1, sin 2,
// sigmoid 3, tanh 4, gelu 5, silu 6, clamp 7, hard swish 8, hard sigmoid 9,
// exact GELU 10 (their order in the registry); -1 for other ops.
int activation_kind(int32_t op);

}  // namespace vantrel
