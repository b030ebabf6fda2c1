#include "loader/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <stdexcept>

namespace vantrel {

JsonValue::JsonValue() : members(new std::unordered_map<std::string, JsonValue>()) {}

JsonValue::JsonValue(const JsonValue& o)
    : kind(o.kind),
      number(o.number),
      boolean(o.boolean),
      text(o.text),
      elements(o.elements),
      members(new std::unordered_map<std::string, JsonValue>(
          o.members ? *o.members : std::unordered_map<std::string, JsonValue>())) {}

JsonValue& JsonValue::operator=(const JsonValue& o) {
    if (this != &o) {
        JsonValue copy(o);
        *this = std::move(copy);
    }
    return *this;
}

namespace {

[[noreturn]] void fail_fmt(const char* fmt, char a, char b = 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, a, b);
    throw std::runtime_error(buf);
}

struct Cursor {
    const char* p;
    const char* end;
    int depth = 0;

    void skip_ws() {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
    }
    char peek() const { return p < end ? *p : '\0'; }
    void expect(char c) {
        skip_ws();
        char got = p < end ? *p++ : '\0';
        if (got != c) fail_fmt("JSON: expected '%c', got '%c'", c, got);
    }
};

JsonValue parse_value(Cursor& cur);

struct DepthGuard {
    Cursor& cur;
    explicit DepthGuard(Cursor& c) : cur(c) {
        if (++cur.depth > kJsonMaxDepth)
            throw std::runtime_error("JSON: nesting deeper than " + std::to_string(kJsonMaxDepth) +
                                     " levels");
    }
    ~DepthGuard() { --cur.depth; }
};

std::string parse_string_text(Cursor& cur) {
    cur.expect('"');
    std::string out;
    while (true) {
        if (cur.p >= cur.end) throw std::runtime_error("JSON: unterminated string");
        char ch = *cur.p++;
        if (ch == '"') break;
        if (ch == '\\') {
            if (cur.p >= cur.end) throw std::runtime_error("JSON: unterminated string");
            char e = *cur.p++;
            switch (e) {
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                default: out.push_back(e); break;
            }
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

JsonValue parse_number(Cursor& cur) {
    const char* start = cur.p;
    const char* q = cur.p;
    auto digits = [&] {
        while (q < cur.end && is_digit(*q)) ++q;
    };
    if (q < cur.end && *q == '-') ++q;
    digits();
    if (q < cur.end && *q == '.') {
        ++q;
        digits();
    }
    if (q < cur.end && (*q == 'e' || *q == 'E')) {
        ++q;
        if (q < cur.end && (*q == '+' || *q == '-')) ++q;
        digits();
    }
    // strtod needs a terminated string and must not run past the match.
    std::string token(start, q);
    JsonValue v;
    v.kind = JsonKind::Number;
    // The C locale keeps '.' the decimal point whatever the host process set.
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t(0));
    v.number = c_locale ? strtod_l(token.c_str(), nullptr, c_locale)
                        : std::strtod(token.c_str(), nullptr);
    cur.p = q;
    return v;
}

JsonValue parse_literal(Cursor& cur, const char* word, size_t len) {
    if (size_t(cur.end - cur.p) < len || std::string(cur.p, len) != word)
        fail_fmt("JSON: unexpected char '%c'", word[0]);
    cur.p += len;
    JsonValue v;
    if (word[0] == 't' || word[0] == 'f') {
        v.kind = JsonKind::Bool;
        v.boolean = word[0] == 't';
    }
    return v;
}

JsonValue parse_array(Cursor& cur) {
    DepthGuard guard(cur);
    cur.expect('[');
    JsonValue v;
    v.kind = JsonKind::Array;
    cur.skip_ws();
    if (cur.peek() == ']' && cur.p < cur.end) {
        ++cur.p;
        return v;
    }
    while (true) {
        v.elements.push_back(parse_value(cur));
        cur.skip_ws();
        if (cur.p < cur.end && *cur.p == ',') {
            ++cur.p;
            continue;
        }
        cur.expect(']');
        return v;
    }
}

JsonValue parse_object(Cursor& cur) {
    DepthGuard guard(cur);
    cur.expect('{');
    JsonValue v;
    v.kind = JsonKind::Object;
    cur.skip_ws();
    if (cur.p < cur.end && *cur.p == '}') {
        ++cur.p;
        return v;
    }
    while (true) {
        std::string key = parse_string_text(cur);
        cur.expect(':');
        (*v.members)[key] = parse_value(cur);
        cur.skip_ws();
        if (cur.p < cur.end && *cur.p == ',') {
            ++cur.p;
            continue;
        }
        cur.expect('}');
        return v;
    }
}

JsonValue parse_value(Cursor& cur) {
    cur.skip_ws();
    char c = cur.peek();
    if (cur.p >= cur.end) fail_fmt("JSON: unexpected char '%c'", '\0');
    switch (c) {
        case '"': {
            JsonValue v;
            v.kind = JsonKind::String;
            v.text = parse_string_text(cur);
            return v;
        }
        case '{': return parse_object(cur);
        case '[': return parse_array(cur);
        case 't': return parse_literal(cur, "true", 4);
        case 'f': return parse_literal(cur, "false", 5);
        case 'n': return parse_literal(cur, "null", 4);
        default:
            if (c == '-' || is_digit(c)) return parse_number(cur);
            fail_fmt("JSON: unexpected char '%c'", c);
    }
}

}  // namespace

JsonValue parse_json(const std::string& text) {
    Cursor cur{text.data(), text.data() + text.size()};
    return parse_value(cur);
}

bool has(const JsonValue& value, const std::string& key) {
    return value.kind == JsonKind::Object && value.members && value.members->count(key) != 0;
}

const JsonValue& at(const JsonValue& value, const std::string& key) {
    if (value.members) {
        auto it = value.members->find(key);
        if (it != value.members->end()) return it->second;
    }
    throw std::runtime_error("JSON key not found: " + key);
}

JsonValue& get_or_insert(JsonValue& value, const std::string& key) {
    if (!value.members) value.members.reset(new std::unordered_map<std::string, JsonValue>());
    return (*value.members)[key];
}

size_t size(const JsonValue& value) {
    if (value.kind == JsonKind::Array) return value.elements.size();
    if (value.kind == JsonKind::Object) return value.members ? value.members->size() : 0;
    return 0;
}

int32_t json_number_to_int32(double v) {
    if (std::isnan(v)) return 0;
    double t = std::trunc(v);
    if (t >= double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (t <= double(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return int32_t(t);
}

bool json_flag(const JsonValue& v) {
    if (v.kind == JsonKind::Bool) return v.boolean;
    return json_number_to_int32(v.number) != 0;
}

}  // namespace vantrel
