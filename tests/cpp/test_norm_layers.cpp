// Layer and RMS normalisation layers: weight validation at load, input and
// output checks in forward, and the result of a forward pass against a
// double-precision evaluation of the formulas.
#include <gtest/gtest.h>

#include <cmath>

#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

struct LoadCase {
    const char* op;
    Tensors weights;
    const char* error;  // substring; "" = loads
};

class NormLayerLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(NormLayerLoad, RejectsMissingOrMismatchedVectors) {
    const LoadCase& c = GetParam();
    auto l = make_layer(std::string(R"({"op":")") + c.op + R"("})", "ln");
    const std::string err = error_of([&] { l->load_weights(fetch_from(c.weights)); });
    if (*c.error == 0) {
        EXPECT_EQ(err, "");
    } else {
        EXPECT_NE(err.find(c.error), std::string::npos) << err;
        EXPECT_NE(err.find("node 'ln'"), std::string::npos) << err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NormLayerLoad,
    ::testing::Values(LoadCase{"layernorm_fp32", {{"ln.gamma", {1, 2}}, {"ln.beta", {0, 0}}}, ""},
                      LoadCase{"layernorm_fp32", {{"ln.beta", {0, 0}}}, "'ln.gamma' is missing"},
                      LoadCase{"layernorm_fp32", {{"ln.gamma", {1, 2}}}, "'ln.beta' is missing"},
                      LoadCase{"layernorm_fp32", {{"ln.gamma", {1, 2}}, {"ln.beta", {0}}}, "'ln.beta' holds 1"},
                      LoadCase{"layernorm_fp32", {{"ln.gamma", {}}, {"ln.beta", {}}}, "'ln.gamma' is empty"},
                      LoadCase{"rms_norm_fp32", {{"ln.gamma", {1, 2, 3}}}, ""},
                      LoadCase{"rms_norm_fp32", {}, "'ln.gamma' is missing"}));

TEST(NormLayers, NormaliseRowsAndCheckViews) {
    const int c = 6, h = 3, w = 2;
    std::vector<float> x(c * h * w), g = {1, 2, 0.5f, -1, 3, 0.25f}, b = {0, 1, -1, 2, 0.5f, -0.5f};
    for (size_t i = 0; i < x.size(); ++i) x[i] = std::sin(float(i)) * 4 + float(i % 5);
    Tensors t = {{"ln.gamma", g}, {"ln.beta", b}};
    for (const char* op : {"layernorm_fp32", "rms_norm_fp32"}) {
        const bool rms = op[0] == 'r';
        auto l = make_layer(std::string(R"({"op":")") + op + R"(","eps":1e-5})", "ln");
        std::vector<float> y(x.size());
        EXPECT_NE(run_layer(*l, x, {c, h, w}, y).find("weights are not loaded"), std::string::npos);
        l->load_weights(fetch_from(t));
        Shape3 s;
        ASSERT_EQ(run_layer(*l, x, {c, h, w}, y, &s), "");
        EXPECT_EQ(s, (Shape3{c, h, w}));
        for (int r = 0; r < h * w; ++r) {
            double mean = 0, var = 0;
            for (int j = 0; j < c; ++j) mean += x[r * c + j], var += double(x[r * c + j]) * x[r * c + j];
            mean /= c;
            var = rms ? var / c : var / c - mean * mean;
            for (int j = 0; j < c; ++j) {
                double want = rms ? x[r * c + j] / std::sqrt(var + 1e-5) * g[j]
                                  : (x[r * c + j] - mean) / std::sqrt(var + 1e-5) * g[j] + b[j];
                EXPECT_NEAR(y[r * c + j], want, 1e-4 * (1 + std::fabs(want))) << op << r << "," << j;
            }
        }
        // Width against the vectors, the input view and the output buffer.
        std::vector<float> x5(5 * h * w), short_out(x.size() - 1), short_in(x.begin(), x.end() - 1);
        EXPECT_NE(run_layer(*l, x5, {5, h, w}, y).find("input has 5 features, 'ln.gamma' holds 6"),
                  std::string::npos);
        EXPECT_NE(run_layer(*l, x, {c, h, w}, short_out).find("output buffer"), std::string::npos);
        EXPECT_NE(run_layer(*l, short_in, {c, h, w}, y).find("input 0"), std::string::npos);
    }
}

}  // namespace
