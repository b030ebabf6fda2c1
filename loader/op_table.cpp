#include "loader/op_table.h"

#include "loader/op_registry.h"

namespace vantrel {

OpCode op_code_from_name(const std::string& name) {
    for (int32_t code = 1; code <= kOpCount; ++code)
        if (name == op_info(code)->name) return OpCode(code);
    for (const OpAlias& a : op_aliases())
        if (name == a.name) return a.code;
    return OP_UNKNOWN;
}

const char* op_name_from_code(int32_t code) {
    const OpInfo* info = op_info(code);
    return info ? info->name : "";
}

}  // namespace vantrel
