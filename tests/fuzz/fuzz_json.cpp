// Fuzzes the JSON reader: any byte string either parses or throws
// std::runtime_error; a parsed tree can be copied and queried.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "loader/json.h"

using namespace vantrel;

static size_t walk(const JsonValue& v, int depth) {
    size_t n = 1 + size(v);
    (void)has(v, "name");
    (void)json_number_to_int32(v.number);
    (void)json_flag(v);
    for (const JsonValue& e : v.elements) n += walk(e, depth + 1);
    if (v.kind == JsonKind::Object && v.members)
        for (const auto& kv : *v.members) n += walk(kv.second, depth + 1);
    return n;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        JsonValue v = parse_json(text);
        JsonValue copy = v;  // deep copy and destruction of the whole tree
        if (walk(copy, 0) != walk(v, 0)) __builtin_trap();
        try {
            (void)at(v, "model");
        } catch (const std::runtime_error&) {
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}
