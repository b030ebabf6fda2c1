// ConvFp32 and GemmFp32 built through the factory from node JSON, with
// weights fed by a fetch over a map: results against the direct double
// reference on every path, scratch exactly as planned, and the rejections.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/cpu_backend/cpu_backend.h"
#include "layers/image/conv_fp32.h"
#include "layers/image/gemm_fp32.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"
#include "loader/packed_weight_sharing.h"
#include "tests/cpp/conv2d_f32_reference.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;
using namespace conv_ref;

namespace {

std::unique_ptr<ILayer> make(const std::string& json, bool relu = false) {
    JsonValue node = parse_json(json);
    return create_layer("c1", op_code_from_name(at(node, "op").text), node, relu);
}
std::string conv_json(const Conv& c) {
    auto kv = [](const char* k, int v) { return std::string(",\"") + k + "\":" + std::to_string(v); };
    return std::string(R"({"op":"conv_fp32")") + kv("C_out", c.cout) + kv("C_in", c.cin) + kv("kH", c.kh) +
           kv("kW", c.kw) + kv("stride_h", c.sh) + kv("stride_w", c.sw) + kv("pad_h", c.ph) +
           kv("pad_w", c.pw) + kv("groups", c.groups) + kv("dilation_h", c.dh) + kv("dilation_w", c.dw) + "}";
}
// Runs forward; scratch area 2 is exactly the planned size, or absent.
Shape3 run(ILayer& l, TensorView in, std::vector<float>& y, bool with_scratch) {
    ScratchRequest req;
    l.plan_scratch(in.shape(), req);
    std::vector<uint8_t> s2(with_scratch ? req.bytes[2] : 0);
    ExecContext ctx;
    ctx.scratch[2] = BufferView{s2.empty() ? nullptr : s2.data(), 0, s2.size()};
    BufferView out{y.data(), 0, y.size() * 4};
    return l.forward(&in, 1, &out, &ctx);
}

struct LayerCase {
    Conv c;
    bool winograd;
};
void PrintTo(const LayerCase& lc, std::ostream* os) { PrintTo(lc.c, os); }

class ConvFp32Layer : public ::testing::TestWithParam<LayerCase> {};
TEST_P(ConvFp32Layer, EveryPathMatchesReference) {
    const Problem p(GetParam().c);
    const Conv& c = p.c;
    ByteTensors t = {{"c1.weight", bytes_of(p.w)}};
    if (c.bias) t["c1.bias"] = bytes_of(p.bias);
    auto l = make(conv_json(c), c.relu);
    l->load_weights(fetch_bytes(t, 4));
    EXPECT_EQ(dynamic_cast<ConvFp32&>(*l).winograd_ready, GetParam().winograd);
    const Shape3 want{c.cout, c.oh(), c.ow()};
    EXPECT_EQ(l->output_shape({c.cin, c.h, c.w}), want);
    std::vector<float> in = p.in;
    TensorView v{in.data(), 0, in.size() * 4, c.cin, c.h, c.w};
    std::vector<float> y = p.fresh(), y_own = p.fresh();
    EXPECT_EQ(run(*l, v, y, true), want);
    p.expect_near(y, 1e-5);
    run(*l, v, y_own, false);
    EXPECT_EQ(0, std::memcmp(y.data(), y_own.data(), y.size() * 4)) << "planned vs own scratch";
}
INSTANTIATE_TEST_SUITE_P(
    Paths, ConvFp32Layer,
    ::testing::Values(LayerCase{{4, 5, 7, 6, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true}, true},
                      LayerCase{{4, 5, 7, 6, 3, 3, 1, 1, 0, 0, 1, 1, 1, false, true}, false},
                      LayerCase{{3, 5, 5, 4, 3, 3, 2, 2, 1, 1, 1, 1, 1, true, false}, false},  // -> 3x3
                      LayerCase{{4, 7, 6, 5, 3, 3, 1, 1, 1, 1, 2, 2, 1, false, true}, false},
                      LayerCase{{6, 4, 5, 9, 1, 1, 1, 1, 0, 0, 1, 1, 1, true, true}, false},  // direct
                      LayerCase{{8, 6, 5, 6, 3, 3, 1, 1, 1, 1, 1, 1, 2, false, true}, false},  // grouped
                      LayerCase{{12, 6, 6, 12, 3, 3, 2, 2, 1, 1, 1, 1, 12, true, true}, false},  // depthwise
                      LayerCase{{5, 5, 4, 10, 3, 3, 1, 1, 1, 1, 1, 1, 5, false, false}, false},  // x2
                      LayerCase{{3, 1, 6, 2, 3, 3, 1, 1, 0, 0, 1, 1, 1, false, true}, false}));  // 0 rows

TEST(ConvFp32Layer, SameKeySharesOnePackedBlock) {
    const Problem p(Conv{3, 4, 4, 5, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, false});
    ByteTensors t = {{"c1.weight", bytes_of(p.w)}};
    clear_packed_weight_registry();
    auto a = make(conv_json(p.c)), b = make(conv_json(p.c));
    a->load_weights(fetch_bytes(t, 4));
    b->load_weights(fetch_bytes(t, 4));
    clear_packed_weight_registry();
    auto& ca = dynamic_cast<ConvFp32&>(*a);
    auto& cb = dynamic_cast<ConvFp32&>(*b);
    EXPECT_EQ(ca.packed.data, cb.packed.data);
    EXPECT_EQ(ca.winograd_u[7].data, cb.winograd_u[7].data);
}

class GemmFp32Layer : public ::testing::TestWithParam<std::pair<bool, bool>> {};
TEST_P(GemmFp32Layer, ReluAfterBias) {
    const auto [relu, with_bias] = GetParam();
    const int cin = 37, cout = 21;
    std::vector<float> x = randoms(cin, 1), w = randoms(size_t(cin) * cout, 2), bias = randoms(cout, 3);
    ByteTensors t = {{"c1.weight", bytes_of(w)}};
    if (with_bias) t["c1.bias"] = bytes_of(bias);
    auto l = make(R"({"op":"gemm_fp32","C_out":21,"C_in":37})", relu);
    l->load_weights(fetch_bytes(t, 4));
    std::vector<float> y(cout);
    EXPECT_EQ(run(*l, TensorView{x.data(), 0, x.size() * 4, cin, 1, 1}, y, false), (Shape3{cout, 1, 1}));
    for (int o = 0; o < cout; ++o) {
        double s = with_bias ? bias[o] : 0.0, a = std::fabs(s);
        for (int k = 0; k < cin; ++k) {
            s += double(w[size_t(o) * cin + k]) * x[k];
            a += std::fabs(double(w[size_t(o) * cin + k]) * x[k]);
        }
        EXPECT_NEAR(y[o], relu && s < 0 ? 0.0 : s, 2e-6 * (a + 1e-3)) << o;
    }
}
INSTANTIATE_TEST_SUITE_P(Flags, GemmFp32Layer,
                         ::testing::Values(std::pair{false, false}, std::pair{true, false},
                                           std::pair{false, true}, std::pair{true, true}));

// Where a bad node, bad weights or a bad input must be refused, and with
// which words in the message.
struct Reject {
    const char* json;
    int weight_floats;  // -1: absent
    int bias_floats;    // -1: absent
    int extra_bytes;    // appended to the weight bytes
    int in_c;
    const char* message;
};
class LayerRejects : public ::testing::TestWithParam<Reject> {};
TEST_P(LayerRejects, WithAClearMessage) {
    const Reject& r = GetParam();
    std::string what;
    try {
        auto l = make(r.json);
        ByteTensors t;
        if (r.weight_floats >= 0) {
            t["c1.weight"] = bytes_of(std::vector<float>(size_t(r.weight_floats), 0.5f));
            t["c1.weight"].resize(t["c1.weight"].size() + size_t(r.extra_bytes));
        }
        if (r.bias_floats >= 0) t["c1.bias"] = bytes_of(std::vector<float>(size_t(r.bias_floats), 1.0f));
        l->load_weights(fetch_bytes(t, 4));
        std::vector<float> in(size_t(r.in_c) * 16, 1.0f), y(4096);
        run(*l, TensorView{in.data(), 0, in.size() * 4, r.in_c, 4, 4}, y, true);
    } catch (const std::runtime_error& e) {
        what = e.what();
    }
    EXPECT_NE(what.find("'c1'"), std::string::npos) << what;
    EXPECT_NE(what.find(r.message), std::string::npos) << what;
}
constexpr const char* kConv = R"({"op":"conv_fp32","C_out":4,"C_in":2,"kH":3,"kW":3})";
constexpr const char* kGemm = R"({"op":"gemm_fp32","C_out":3,"C_in":32})";
INSTANTIATE_TEST_SUITE_P(
    Cases, LayerRejects,
    ::testing::Values(Reject{kConv, 71, -1, 0, 2, "'c1.weight' holds 71 floats, expected 72"},
                      Reject{kConv, -1, -1, 0, 2, "'c1.weight' is missing"},
                      Reject{kConv, 72, -1, 2, 2, "'c1.weight' has 290 bytes"},
                      Reject{kConv, 72, 3, 0, 2, "'c1.bias' holds 3 floats, expected 4"},
                      Reject{kConv, 72, 4, 0, 3, "input has 3 channels"},
                      Reject{R"({"op":"conv_fp32","C_out":4,"C_in":6,"groups":4})", 0, -1, 0, 6, "'groups'"},
                      Reject{R"({"op":"conv_fp32","C_out":6,"C_in":4,"groups":4})", 0, -1, 0, 4, "'groups'"},
                      Reject{R"({"op":"conv_fp32","C_out":4,"C_in":2,"stride_w":0})", 8, -1, 0, 2, "'stride_w'"},
                      Reject{R"({"op":"conv_fp32","C_out":4,"C_in":2,"pad_h":-1})", 8, -1, 0, 2, "'pad_h'"},
                      Reject{R"({"op":"conv_fp32","C_out":4,"C_in":2,"kW":0})", 8, -1, 0, 2, "'kW'"},
                      Reject{R"({"op":"conv_fp32","C_out":4,"C_in":2,"dilation_h":0})", 8, -1, 0, 2, "'dilation_h'"},
                      Reject{R"({"op":"conv_fp32","C_in":2})", 8, -1, 0, 2, "'C_out'"},
                      Reject{kGemm, 95, -1, 0, 2, "'c1.weight' holds 95 floats, expected 96"},
                      Reject{kGemm, 96, 32, 0, 2, "'c1.bias' holds 32 floats, expected 3"},
                      Reject{kGemm, 96, -1, 0, 3, "input has 48 elements, expected C_in = 32"},
                      Reject{R"({"op":"gemm_fp32","C_out":3})", 0, -1, 0, 2, "'C_in'"}));

TEST(ConvFp32Layer, RefusesAnOutputBufferTooSmall) {
    auto l = make(R"({"op":"conv_fp32","C_out":4,"C_in":2,"kH":3,"kW":3,"pad_h":1,"pad_w":1})");
    ByteTensors t = {{"c1.weight", bytes_of(std::vector<float>(72, 0.5f))}};
    l->load_weights(fetch_bytes(t, 4));
    std::vector<float> in(2 * 16, 1.0f), y(4 * 16 - 1);
    EXPECT_THROW(run(*l, TensorView{in.data(), 0, in.size() * 4, 2, 4, 4}, y, true), std::runtime_error);
}

}  // namespace
