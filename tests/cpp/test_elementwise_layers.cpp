// Element-wise and activation layers built through the factory from node
// JSON, run on views, against hand-computed or math-library results.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine/backend.h"
#include "engine/cpu_backend/cpu_backend.h"
#include "layers/image/activation_fp32.h"
#include "layers/image/add_int8.h"
#include "layers/image/scale_fp32.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"

using namespace vantrel;

namespace {

std::unique_ptr<ILayer> make(const std::string& json, bool relu = false) {
    JsonValue node = parse_json(json);
    return create_layer("node1", op_code_from_name(at(node, "op").text), node, relu);
}
template <class T>
TensorView view(std::vector<T>& v, Shape3 s) {
    return TensorView{v.data(), 0, v.size() * sizeof(T), s.c, s.h, s.w};
}
template <class T>
BufferView out_view(std::vector<T>& v) {
    return BufferView{v.data(), 0, v.size() * sizeof(T)};
}
// Runs forward and returns the runtime_error text, "" when none.
std::string run(ILayer& l, TensorView* in, int n, BufferView out) {
    ExecContext ctx;
    try {
        l.forward(in, n, &out, &ctx);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(ElementwiseLayers, AddsInFloatAndInt8) {
    const Shape3 s{3, 2, 1};
    std::vector<float> a = {1, -2, 3, -4, 0.5f, -0.25f}, b(6, 1.0f), y(6);
    TensorView in[2] = {view(a, s), view(b, s)};
    for (bool relu : {false, true}) {
        auto l = make(R"({"op":"add_fp32"})", relu);
        ASSERT_EQ(run(*l, in, 2, out_view(y)), "");
        for (int i = 0; i < 6; ++i) EXPECT_EQ(y[i], relu ? std::fmax(a[i] + 1, 0.0f) : a[i] + 1) << i;
    }
    auto q = make(R"({"op":"add_int8","args":{"in1_scale":0.5,"in2_scale":0.25,"out_scale":0.5,"out_zp":3}})");
    EXPECT_EQ(q->dtype(), 1);
    std::vector<int8_t> qa = {10, -20, 100, 127, -128}, qb = {4, 8, -3, 127, -128}, qy(5);
    TensorView qin[2] = {view(qa, {5, 1, 1}), view(qb, {5, 1, 1})};
    ASSERT_EQ(run(*q, qin, 2, out_view(qy)), "");
    // a + b/2 + 3, halves rounded up, saturated.
    EXPECT_EQ(qy, (std::vector<int8_t>{15, -13, 102, 127, -128}));
}

struct Rejection {
    const char* op;
    int inputs, in0_elems, in1_elems, out_elems;
    const char* message_part;
};
class ForwardRejects : public ::testing::TestWithParam<Rejection> {};
TEST_P(ForwardRejects, WithClearError) {
    const Rejection& r = GetParam();
    auto l = make(std::string(R"({"op":")") + r.op + "\"}");
    const uint64_t es = l->dtype() == 1 ? 1 : 4;
    std::vector<float> a(8), b(8), y(8);
    TensorView in[2] = {view(a, {4, 2, 1}), view(b, {4, 2, 1})};
    in[0].bytes = r.in0_elems * es;
    in[1].bytes = r.in1_elems * es;
    BufferView out = out_view(y);
    out.bytes = r.out_elems * es;
    std::string msg = run(*l, in, r.inputs, out);
    EXPECT_NE(msg.find(r.message_part), std::string::npos) << msg;
    EXPECT_NE(msg.find("node1"), std::string::npos) << msg;
}
INSTANTIATE_TEST_SUITE_P(
    Cases, ForwardRejects,
    ::testing::Values(Rejection{"add_fp32", 1, 8, 8, 8, "needs 2 inputs"}, Rejection{"add_int8", 1, 8, 8, 8, "needs 2 inputs"},
                      Rejection{"add_fp32", 2, 8, 7, 8, "input 1"}, Rejection{"add_int8", 2, 8, 7, 8, "input 1"},
                      Rejection{"add_fp32", 2, 8, 8, 7, "output buffer"}, Rejection{"add_int8", 2, 8, 8, 7, "output buffer"},
                      Rejection{"add_int8", 2, 7, 8, 8, "input 0"}, Rejection{"scale_fp32", 1, 7, 0, 8, "input 0"},
                      Rejection{"gelu_fp32", 1, 8, 0, 7, "output buffer"}, Rejection{"sin_fp32", 0, 8, 8, 8, "needs 1 input"}));

TEST(ElementwiseLayers, AddInt8RejectsUnusableScales) {
    for (const char* args : {R"("out_scale":0)", R"("out_scale":-1)", R"("out_scale":1e39)",
                             R"("in1_scale":1e39)", R"("in2_scale":-1e39)"}) {
        std::string msg;
        try {
            make(std::string(R"({"op":"add_int8",)") + args + "}");
        } catch (const std::runtime_error& e) {
            msg = e.what();
        }
        EXPECT_NE(msg.find("node1"), std::string::npos) << args << ": " << msg;
        EXPECT_NE(msg.find("scale"), std::string::npos) << args << ": " << msg;
    }
    EXPECT_NO_THROW(make(R"({"op":"add_int8","in1_scale":-2,"out_scale":1e-30})"));
}

// Every activation op against the math library, over two groups and a tail.
struct ActCase {
    const char* op;
    double (*f)(double);
};
class ActivationLayer : public ::testing::TestWithParam<ActCase> {};
TEST_P(ActivationLayer, MatchesMathLibrary) {
    auto l = make(std::string(R"({"op":")") + GetParam().op + R"(","alpha":0.5})");
    std::vector<float> x = {-3.5f, -1, -0.25f, 0, 0.3f, 1, 2.5f, 4, -6}, y(9);
    TensorView in[1] = {view(x, {3, 3, 1})};
    ASSERT_EQ(run(*l, in, 1, out_view(y)), "");
    for (int i = 0; i < 9; ++i) {
        double want = GetParam().f(x[i]);
        EXPECT_NEAR(y[i], want, 1e-6 * std::fmax(1.0, std::fabs(want))) << GetParam().op << " " << x[i];
    }
}
INSTANTIATE_TEST_SUITE_P(
    Ops, ActivationLayer,
    ::testing::Values(ActCase{"leaky_relu_fp32", [](double x) { return x >= 0 ? x : 0.5 * x; }},
                      // The other activations ignore "alpha".
                      ActCase{"exp_fp32", [](double x) { return std::exp(x); }},
                      ActCase{"sin_fp32", [](double x) { return std::sin(x); }},
                      ActCase{"sigmoid_fp32", [](double x) { return 1 / (1 + std::exp(-x)); }},
                      ActCase{"tanh_fp32", [](double x) { return std::tanh(x); }},
                      ActCase{"gelu_fp32", [](double x) { return 0.5 * x * (1 + std::tanh(0.7978845608 * (x + 0.044715 * x * x * x))); }},
                      ActCase{"silu_fp32", [](double x) { return x / (1 + std::exp(-x)); }}));

TEST(ElementwiseLayers, FactorySetsArgumentsAndDefaults) {
    const char* ops[7] = {"leaky_relu_fp32", "exp_fp32", "sin_fp32", "sigmoid_fp32", "tanh_fp32", "gelu_fp32", "silu_fp32"};
    for (int k = 0; k < 7; ++k) {
        auto l = make(std::string(R"({"op":")") + ops[k] + R"(","alpha":0.9})");
        auto& a = dynamic_cast<ActivationFp32&>(*l);
        EXPECT_EQ(a.kind, k);
        EXPECT_FLOAT_EQ(a.alpha, k == 0 ? 0.9f : 0.2f);
    }
    EXPECT_FLOAT_EQ(dynamic_cast<ActivationFp32&>(*make(R"({"op":"leaky_relu_fp32"})")).alpha, 0.2f);
    EXPECT_FLOAT_EQ(dynamic_cast<ScaleFp32&>(*make(R"({"op":"scale_fp32"})")).scalar, 1.0f);
    EXPECT_FLOAT_EQ(dynamic_cast<ScaleFp32&>(*make(R"({"op":"scale_fp32","args":{"scalar":2}})")).scalar, 2.0f);
    auto held = make(R"({"op":"add","in1_zp":-7,"out_zp":9,"in2_scale":0.5})");
    auto& q = dynamic_cast<AddInt8&>(*held);
    EXPECT_EQ(q.in1_zp, -7);
    EXPECT_EQ(q.out_zp, 9);
    EXPECT_FLOAT_EQ(q.in2_scale, 0.5f);
    EXPECT_FLOAT_EQ(q.out_scale, 1.0f);
}

TEST(ElementwiseLayers, ScaleGeluInPlaceAndSiluFallback) {
    std::vector<float> x = {-3, -0.5f, 0.1f, 0.6f, 9}, y(5);
    TensorView in[1] = {view(x, {5, 1, 1})};
    ASSERT_EQ(run(*make(R"({"op":"scale_fp32","scalar":-1.5})"), in, 1, out_view(y)), "");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(y[i], x[i] * -1.5f);

    // GELU with the output aliasing the input equals GELU into a separate buffer.
    auto gelu = make(R"({"op":"gelu_fp32"})");
    std::vector<float> same = x;
    TensorView in_same[1] = {view(same, {5, 1, 1})};
    ASSERT_EQ(run(*gelu, in, 1, out_view(y)), "");
    ASSERT_EQ(run(*gelu, in_same, 1, out_view(same)), "");
    EXPECT_EQ(same, y);

    // A backend without k_silu_f32: the layer computes on the host.
    std::vector<const Backend*> saved = backend_registry();
    static Backend no_silu = [] {
        Backend b = cpu_backend();
        b.k_name = "cpu_without_silu";
        b.k_priority = -1;
        b.k_silu_f32 = nullptr;
        return b;
    }();
    register_backend(&no_silu);
    ASSERT_TRUE(set_backend("cpu_without_silu"));
    std::string err = run(*make(R"({"op":"silu_fp32"})"), in, 1, out_view(y));
    backend_registry() = saved;
    set_backend("cpu");
    ASSERT_EQ(err, "");
    std::vector<float> host(5), kernel(5);
    for (int i = 0; i < 5; ++i) host[i] = x[i] / (1 + std::exp(-x[i]));
    EXPECT_EQ(y, host);
    // The group formula rounds differently on these inputs, so the match
    // above shows the fallback ran.
    cpu_backend().k_silu_f32(x.data(), kernel.data(), 5, nullptr);
    EXPECT_NE(kernel, host);
}
