// A small JSON reader for architecture files. Lenient where stored files
// rely on it (trailing text ignored, duplicate keys: last wins, no Unicode
// escapes), strict on syntax.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace vantrel {

enum class JsonKind : int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

struct JsonValue {
    JsonKind kind = JsonKind::Null;
    double number = 0.0;
    bool boolean = false;
    std::string text;
    std::vector<JsonValue> elements;
    std::unique_ptr<std::unordered_map<std::string, JsonValue>> members;

    JsonValue();
    JsonValue(const JsonValue& o);
    JsonValue(JsonValue&& o) noexcept = default;
    JsonValue& operator=(const JsonValue& o);
    JsonValue& operator=(JsonValue&& o) noexcept = default;
    ~JsonValue() = default;
};

// Deepest array/object nesting accepted; deeper input is rejected instead of
// exhausting the stack.
constexpr int kJsonMaxDepth = 256;

JsonValue parse_json(const std::string& text);
bool has(const JsonValue& value, const std::string& key);
const JsonValue& at(const JsonValue& value, const std::string& key);
JsonValue& get_or_insert(JsonValue& value, const std::string& key);
size_t size(const JsonValue& value);

// Truncates toward zero and saturates to the 32-bit range; NaN gives 0.
int32_t json_number_to_int32(double v);
// A Bool's value, or for any other kind the number truncated toward zero
// compared with 0 (so 0.5 is false).
bool json_flag(const JsonValue& v);

}  // namespace vantrel
