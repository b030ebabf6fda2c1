#include "loader/op_registry.h"

namespace vantrel {

namespace {
// The vocabulary of op_registry.def's lines.
constexpr ArgType Int = ArgType::Int;
constexpr ArgType Float = ArgType::Float;
constexpr ArgType Bool = ArgType::Bool;
constexpr bool Optional = true;
constexpr int Fp32 = kDtypeFp32;
constexpr int Int8 = kDtypeInt8;

const std::vector<OpInfo>& registry() {
    static const std::vector<OpInfo> ops = {
#define VANTREL_OP(stem, name, reads, writes, create, ...) {name, OP_##stem, reads, writes, &create, {__VA_ARGS__}},
#include "loader/op_registry.def"
    };
    return ops;
}
}  // namespace

const OpInfo* op_info(int32_t code) {
    if (code < 1 || code > kOpCount) return nullptr;
    return &registry()[size_t(code - 1)];
}

const std::vector<OpAlias>& op_aliases() {
    static const std::vector<OpAlias> aliases = {
#define VANTREL_OP(...)
#define VANTREL_OP_ALIAS(alias, stem) {alias, OP_##stem},
#include "loader/op_registry.def"
    };
    return aliases;
}

}  // namespace vantrel
