#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "loader/json.h"

using namespace vantrel;

namespace {
std::string error_of(const std::string& text) {
    try {
        parse_json(text);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no error>";
}
}  // namespace

struct JsonErrorCase {
    std::string text;
    std::string message;
};

class JsonErrors : public ::testing::TestWithParam<JsonErrorCase> {};

TEST_P(JsonErrors, MessageIsExact) { EXPECT_EQ(error_of(GetParam().text), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(
    Dialect, JsonErrors,
    ::testing::Values(
        JsonErrorCase{"", "JSON: unexpected char '"}, JsonErrorCase{" \t\r\n", "JSON: unexpected char '"},
        JsonErrorCase{"[1, 2,]", "JSON: unexpected char ']'"},
        JsonErrorCase{"[1 2]", "JSON: expected ']', got '2'"},
        JsonErrorCase{"{\"k\" 1}", "JSON: expected ':', got '1'"},
        JsonErrorCase{"{\"a\":1,}", "JSON: expected '\"', got '}'"},
        JsonErrorCase{"{\"a\":1 \"b\"}", "JSON: expected '}', got '\"'"},
        JsonErrorCase{"{1:2}", "JSON: expected '\"', got '1'"},
        JsonErrorCase{"[1", "JSON: expected ']', got '"},
        JsonErrorCase{"tru", "JSON: unexpected char 't'"}, JsonErrorCase{"fals", "JSON: unexpected char 'f'"},
        JsonErrorCase{"nul", "JSON: unexpected char 'n'"}, JsonErrorCase{"trUe", "JSON: unexpected char 't'"},
        JsonErrorCase{"+1", "JSON: unexpected char '+'"}, JsonErrorCase{".5", "JSON: unexpected char '.'"},
        JsonErrorCase{"\"abc", "JSON: unterminated string"}, JsonErrorCase{"\"ab\\", "JSON: unterminated string"},
        JsonErrorCase{std::string(300, '['), "JSON: nesting deeper than 256 levels"},
        JsonErrorCase{std::string(100000, '{'), "JSON: expected '\"', got '{'"}));

TEST(Json, NestingUpToTheLimitParses) {
    std::string text = std::string(256, '[') + std::string(256, ']');
    JsonValue v = parse_json(text);
    int depth = 0;
    const JsonValue* p = &v;
    while (p->kind == JsonKind::Array && !p->elements.empty()) p = &p->elements[0], ++depth;
    EXPECT_EQ(depth, 255);
}

struct JsonNumberCase {
    std::string text;
    double value;
};
class JsonNumbers : public ::testing::TestWithParam<JsonNumberCase> {};
TEST_P(JsonNumbers, Value) {
    JsonValue v = parse_json(GetParam().text);
    EXPECT_EQ(v.kind, JsonKind::Number);
    EXPECT_DOUBLE_EQ(v.number, GetParam().value);
}
INSTANTIATE_TEST_SUITE_P(Dialect, JsonNumbers,
                         ::testing::Values(JsonNumberCase{"1.5", 1.5}, JsonNumberCase{"-2e3", -2000.0},
                                           JsonNumberCase{"-", 0.0}, JsonNumberCase{"-0.5e-1", -0.05},
                                           JsonNumberCase{"12abc", 12.0}, JsonNumberCase{"1E+2", 100.0},
                                           JsonNumberCase{"7.", 7.0}, JsonNumberCase{"3e", 3.0}));

TEST(Json, NumberCursorStopsAtGrammarEnd) {
    // "0x10" must not be read as hexadecimal: the grammar stops after "0".
    EXPECT_EQ(error_of("[0x10]"), "JSON: expected ']', got 'x'");
    EXPECT_EQ(parse_json("[1e5,2]").elements.size(), 2u);
}

struct JsonStringCase {
    std::string text;
    std::string value;
};
class JsonStrings : public ::testing::TestWithParam<JsonStringCase> {};
TEST_P(JsonStrings, Text) {
    JsonValue v = parse_json(GetParam().text);
    EXPECT_EQ(v.kind, JsonKind::String);
    EXPECT_EQ(v.text, GetParam().value);
}
INSTANTIATE_TEST_SUITE_P(
    Dialect, JsonStrings,
    ::testing::Values(JsonStringCase{"\"x\\u0041\"", "xu0041"}, JsonStringCase{"\"a\\tb\"", "a\tb"},
                      JsonStringCase{"\"\\q\"", "q"}, JsonStringCase{"\"\\\"\\\\\\/\"", "\"\\/"},
                      JsonStringCase{"\"\\n\\r\\b\\f\"", "\n\rbf"},
                      JsonStringCase{"\"h\xc3\xa9\x01\"", "h\xc3\xa9\x01"},
                      JsonStringCase{"  \"pad\"  trailing", "pad"}));

TEST(Json, ObjectsArraysAndLookups) {
    JsonValue v = parse_json("{\"a\":1,\"a\":2, \"b\": [true, false, null, {}], \"s\":\"t\"} trailing words");
    ASSERT_EQ(v.kind, JsonKind::Object);
    EXPECT_EQ(size(v), 3u);
    EXPECT_EQ(at(v, "a").number, 2.0);
    const JsonValue& b = at(v, "b");
    ASSERT_EQ(size(b), 4u);
    EXPECT_TRUE(b.elements[0].boolean);
    EXPECT_EQ(b.elements[1].kind, JsonKind::Bool);
    EXPECT_FALSE(b.elements[1].boolean);
    EXPECT_EQ(b.elements[2].kind, JsonKind::Null);
    EXPECT_EQ(b.elements[3].kind, JsonKind::Object);
    EXPECT_EQ(size(b.elements[3]), 0u);
    // Scalar readers of another kind read as zero values.
    EXPECT_EQ(at(v, "s").number, 0.0);
    EXPECT_EQ(at(v, "a").text, "");
    EXPECT_TRUE(has(v, "s"));
    EXPECT_FALSE(has(v, "z"));
    EXPECT_EQ(parse_json("[]").kind, JsonKind::Array);
    EXPECT_EQ(size(parse_json(" [ ] ")), 0u);
}

TEST(Json, LookupErrorsAndInsertion) {
    JsonValue num = parse_json("5");
    EXPECT_FALSE(has(num, "k"));
    try {
        at(num, "k");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "JSON key not found: k");
    }
    JsonValue obj = parse_json("{}");
    JsonValue& inserted = get_or_insert(obj, "nodes");
    EXPECT_EQ(inserted.kind, JsonKind::Null);
    EXPECT_TRUE(has(obj, "nodes"));
    EXPECT_EQ(size(num), 0u);
}

TEST(Json, CopyIsDeep) {
    JsonValue a = parse_json("{\"k\":[1,{\"z\":2}]}");
    JsonValue b = a;
    (*at(b, "k").elements[1].members)["z"].number = 9;
    EXPECT_EQ(at(at(a, "k").elements[1], "z").number, 2.0);
    EXPECT_EQ(at(at(b, "k").elements[1], "z").number, 9.0);
}

TEST(Json, IntegerConversionTruncatesAndSaturates) {
    EXPECT_EQ(json_number_to_int32(2.9), 2);
    EXPECT_EQ(json_number_to_int32(-2.9), -2);
    EXPECT_EQ(json_number_to_int32(1e20), 2147483647);
    EXPECT_EQ(json_number_to_int32(-1e20), -2147483647 - 1);
    EXPECT_EQ(json_number_to_int32(std::nan("")), 0);
}
