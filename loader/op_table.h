// The op table: op names of the architecture file and their codes, both
// taken from the op registry (loader/op_registry.def).
#pragma once
#include <cstdint>
#include <string>

namespace vantrel {

enum OpCode : int32_t {
    OP_UNKNOWN = 0,
#define VANTREL_OP(stem, ...) OP_##stem,
#include "loader/op_registry.def"
};

constexpr int kOpCount = 0
#define VANTREL_OP(...) +1
#include "loader/op_registry.def"
    ;

// Codes are part of the file format: the first 48 are fixed, and the
// registry may only grow at its end.
constexpr int kFileFormatOpCount = 48;
static_assert(kOpCount >= kFileFormatOpCount, "op registry must declare the 48 ops of the file format first");
static_assert(OP_CONV_INT8 == 1 && OP_SILU_FP32 == 46 && OP_CAUSAL_ATTN_CORE_FP32 == 48,
              "op codes must follow the order of the file format");

// Code of an op name (exact, case-sensitive, aliases included); 0 if unknown.
OpCode op_code_from_name(const std::string& name);
// Long name of a code; "" outside 1..kOpCount.
const char* op_name_from_code(int32_t code);

}  // namespace vantrel
