#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "layers/common/placeholder_layer.h"
#include "loader/arch_loader.h"

using namespace vantrel;
using Names = std::vector<std::string>;

namespace {
ArchGraph load(const std::string& text) { return load_arch_text(text, "m.json"); }

std::string load_error(const std::string& text) {
    try {
        load(text);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no error>";
}

std::string temp_file(const std::string& name, const std::string& content) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}
}  // namespace

TEST(ArchLoader, EmptyObjectGivesDefaultInput) {
    ArchGraph g = load("{}");
    EXPECT_EQ(g.model_name, "");
    ASSERT_EQ(g.inputs.size(), 1u);
    EXPECT_EQ(g.inputs[0].name, "x");
    EXPECT_TRUE(g.inputs[0].shape.empty());
    EXPECT_EQ(g.inputs[0].scale, 1.0f);
    EXPECT_EQ(g.inputs[0].zp, 0);
    EXPECT_EQ(g.inputs[0].dtype, "int8");
    EXPECT_TRUE(g.output_names.empty());
    EXPECT_TRUE(g.nodes.empty());
}

struct InputCase {
    std::string json;
    std::string name;
    std::vector<int> shape;
    std::string dtype;
    float scale;
    int zp;
};
class ArchInputs : public ::testing::TestWithParam<InputCase> {};
TEST_P(ArchInputs, Parsed) {
    ArchGraph g = load(GetParam().json);
    ASSERT_EQ(g.inputs.size(), 1u);
    const InputSpec& s = g.inputs[0];
    EXPECT_EQ(s.name, GetParam().name);
    EXPECT_EQ(s.shape, GetParam().shape);
    EXPECT_EQ(s.dtype, GetParam().dtype);
    EXPECT_FLOAT_EQ(s.scale, GetParam().scale);
    EXPECT_EQ(s.zp, GetParam().zp);
}
INSTANTIATE_TEST_SUITE_P(
    Forms, ArchInputs,
    ::testing::Values(
        InputCase{R"({"inputs":[],"input":{"h":224,"w":224,"c":3,"dtype":"float32"}})", "x", {224, 224, 3}, "float32", 1.0f, 0},
        InputCase{R"({"inputs":[{"name":"a","shape":[1,1,1,80]}],"input":{"h":5}})", "a", {80}, "int8", 1.0f, 0},
        InputCase{R"({"inputs":[{"name":"m","h":50,"c":80,"scale":0.25,"zp":-3.7}]})", "m", {50, 80}, "int8", 0.25f, -3},
        InputCase{R"({"inputs":[{"shape":[7,224,224,3],"h":9,"dtype":"float32"}]})", "x", {224, 224, 3}, "float32", 1.0f, 0},
        InputCase{R"({"input":{"name":"ignored","shape":[1,2,3,4],"c":6,"zp":2}})", "x", {6}, "int8", 1.0f, 2},
        InputCase{R"({"inputs":[{"shape":[1,0,1,80]}]})", "x", {0, 80}, "int8", 1.0f, 0},
        InputCase{R"({"inputs":5,"input":{"w":3}})", "x", {1, 3, 1}, "int8", 1.0f, 0}));

TEST(ArchLoader, MultipleInputsKeepOrder) {
    ArchGraph g = load(R"({"model":"m","inputs":[{"name":"a","c":4},{"name":"b","c":5,"dtype":"float32"}]})");
    ASSERT_EQ(g.inputs.size(), 2u);
    EXPECT_EQ(g.model_name, "m");
    EXPECT_EQ(g.inputs[1].name, "b");
    EXPECT_EQ(g.inputs[1].shape, (std::vector<int>{5}));
}

TEST(ArchLoader, MakeInputShape) {
    EXPECT_EQ(make_input_shape(224, 224, 3), (std::vector<int>{224, 224, 3}));
    EXPECT_EQ(make_input_shape(1, 1, 80), (std::vector<int>{80}));
    EXPECT_EQ(make_input_shape(50, 1, 80), (std::vector<int>{50, 80}));
    EXPECT_EQ(make_input_shape(1, 0, 3), (std::vector<int>{1, 0, 3}));
}

struct NodeCase {
    std::string node;
    Names inputs;
    Names outputs;
    bool relu;
};
class ArchNodes : public ::testing::TestWithParam<NodeCase> {};
TEST_P(ArchNodes, TensorsAndRelu) {
    ArchGraph g = load(R"({"nodes":[)" + GetParam().node + "]}");
    ASSERT_EQ(g.nodes.size(), 1u);
    EXPECT_EQ(g.nodes[0].inputs, GetParam().inputs);
    EXPECT_EQ(g.nodes[0].outputs, GetParam().outputs);
    EXPECT_EQ(g.nodes[0].relu, GetParam().relu);
    ASSERT_EQ(g.layers.size(), 1u);
    EXPECT_EQ(g.layers[0]->relu, GetParam().relu);
    EXPECT_EQ(g.layers[0]->name, "n");
}
INSTANTIATE_TEST_SUITE_P(
    Forms, ArchNodes,
    ::testing::Values(
        NodeCase{R"({"name":"n","op":"add_fp32","inputs":["a","b"],"outputs":["y"],"in":"z","out":"q"})", {"a", "b"}, {"y"}, false},
        NodeCase{R"({"name":"n","op":"add_fp32","in":"a","in3":"c","out":"y"})", {"a", "c"}, {"y"}, false},
        NodeCase{R"({"name":"n","op":"add_fp32","in":"a","in2":"b","in3":"c"})", {"a", "b", "c"}, {}, false},
        NodeCase{R"({"name":"n","op":"add_fp32","in2":"b","in3":"c"})", {}, {}, false},
        NodeCase{R"({"name":"n","op":"add_fp32","inputs":"a","outputs":3,"in":"z"})", {}, {}, false},
        NodeCase{R"({"name":"n","op":"add_fp32","relu":true,"args":{}})", {}, {}, false},
        NodeCase{R"({"name":"n","op":"add_fp32","relu":true,"args":{"relu":1}})", {}, {}, true},
        NodeCase{R"({"name":"n","op":"add_fp32","relu":true,"args":{"relu":false}})", {}, {}, false},
        NodeCase{R"({"name":"n","op":"add_fp32","relu":0.5})", {}, {}, false},
        NodeCase{R"({"name":"n","op":"add_fp32","relu":-2})", {}, {}, true},
        NodeCase{R"({"name":"n","op":"add_fp32","relu":true,"args":5})", {}, {}, false}));

TEST(ArchLoader, OutputInferenceFromUnreadTensors) {
    const std::string p = R"({"name":"P","op":"add_fp32","out":"t1"})";
    const std::string q = R"({"name":"Q","op":"add_fp32","in":"t1","out":"t2"})";
    EXPECT_EQ(load("{\"nodes\":[" + p + "," + q + R"(,{"name":"R","op":"add_fp32","in":"t1","out":"t3"}]})").output_names,
              (Names{"t3"}));
    EXPECT_EQ(load("{\"nodes\":[" + p + "," + q +
                   R"(,{"name":"R","op":"add_fp32","in":"t1","outputs":["t3","t1","t4"]}]})")
                  .output_names,
              (Names{"t3", "t4"}));
    // Every output read by someone: fall back to the last node's first output.
    EXPECT_EQ(load(R"({"nodes":[{"name":"A","op":"add_fp32","in":"b","out":"a"},{"name":"B","op":"add_fp32","in":"a","out":"b"}]})").output_names,
              (Names{"b"}));
    EXPECT_EQ(load(R"({"outputs":[{"name":"o"},{"x":1},7,{"name":"p"}],"nodes":[{"name":"A","op":"add_fp32","out":"z"}]})").output_names,
              (Names{"o", "p"}));
    EXPECT_TRUE(load(R"({"nodes":[{"name":"A","op":"add_fp32"}]})").output_names.empty());
}

TEST(ArchLoader, UnknownOpsWarnAndGetNoLayer) {
    ::testing::internal::CaptureStderr();
    ArchGraph g = load(R"({"nodes":[{"name":"a","op":"Conv_fp32"},{"name":"b","op":"conv","args":{"C_in":1,"C_out":1}},{"name":"c","op":"mystery"}]})");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "arch_loader: unknown op 'Conv_fp32' in node 'a'\n"
              "arch_loader: unknown op 'mystery' in node 'c'\n");
    ASSERT_EQ(g.nodes.size(), 3u);
    EXPECT_EQ(g.nodes[0].op, OP_UNKNOWN);
    EXPECT_EQ(g.nodes[1].op, OP_CONV_INT8);
    ASSERT_EQ(g.layers.size(), 1u);
    EXPECT_EQ(g.layers[0]->name, "b");
}

struct LoaderErrorCase {
    std::string json;
    std::string message;
};
class ArchErrors : public ::testing::TestWithParam<LoaderErrorCase> {};
TEST_P(ArchErrors, Message) { EXPECT_EQ(load_error(GetParam().json), GetParam().message); }
INSTANTIATE_TEST_SUITE_P(
    Rejects, ArchErrors,
    ::testing::Values(
        LoaderErrorCase{R"({"nodes":[{"op":"add_fp32"}]})", "JSON key not found: name"},
        LoaderErrorCase{R"({"nodes":[{"name":"a"}]})", "JSON key not found: op"},
        LoaderErrorCase{R"({"nodes":[3]})", "JSON key not found: name"},
        LoaderErrorCase{R"({"nodes":[)", "JSON: unexpected char '"},
        LoaderErrorCase{R"({"inputs":{"name":"x"}})", "arch_loader: m.json: \"inputs\" must be an array, not an object"},
        LoaderErrorCase{R"({"outputs":{"name":"y"}})", "arch_loader: m.json: \"outputs\" must be an array, not an object"},
        LoaderErrorCase{R"({"nodes":{"a":{}}})", "arch_loader: m.json: \"nodes\" must be an array, not an object"},
        LoaderErrorCase{R"({"nodes":[{"name":"n1","op":"add_fp32","inputs":{"a":1}}]})",
                        "arch_loader: m.json: node 'n1': \"inputs\" must be an array, not an object"},
        LoaderErrorCase{R"({"nodes":[{"name":"n2","op":"add_fp32","outputs":{}}]})",
                        "arch_loader: m.json: node 'n2': \"outputs\" must be an array, not an object"},
        LoaderErrorCase{R"({"inputs":[{"name":"im","shape":[1,224,3]}]})",
                        "arch_loader: m.json: input 0 ('im'): \"shape\" must be an array [N, H, W, C] of four numbers"},
        LoaderErrorCase{R"({"inputs":[{"c":1},{"shape":{"a":1,"b":2,"c":3,"d":4}}]})",
                        "arch_loader: m.json: input 1 ('x'): \"shape\" must be an array [N, H, W, C] of four numbers"}));

TEST(ArchLoader, FileErrors) {
    std::string missing = ::testing::TempDir() + "does_not_exist.json";
    try {
        load_arch(missing);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open JSON: " + missing);
    }
    // A directory opens but cannot be read as a file.
    std::string dir = ::testing::TempDir();
    try {
        load_arch(dir);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Read error: " + dir);
    }
    std::string ok = temp_file("ok_arch.json", R"({"model":"tiny","nodes":[{"name":"s","op":"scale_fp32","scalar":2}]})");
    ArchGraph g = load_arch(ok);
    EXPECT_EQ(g.model_name, "tiny");
    EXPECT_EQ(g.output_names, Names{});
    ASSERT_EQ(g.layers.size(), 1u);
    EXPECT_EQ(g.layers[0]->name, "s");
    try {
        load_arch(temp_file("empty_arch.json", ""));
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "JSON: unexpected char '");
    }
}
