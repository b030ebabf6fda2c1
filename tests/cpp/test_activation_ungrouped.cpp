// Clamp, hard swish, hard sigmoid and exact GELU: every vector path equals
// the portable one bit for bit at every length (tails included), the
// portable one is close to double-precision math, clamp's NaN and infinity
// behaviour, and the ops through the factory with their arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "kernel_test_paths.h"
#include "kernels/elementwise/activation_ungrouped.h"
#include "layer_test_util.h"
#include "layers/image/conv_fp32.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

using Unary = std::function<void(const float*, float*, int32_t)>;
using UnaryFn = void (*)(const float*, float*, int32_t, void*);
using ClampFn = void (*)(const float*, float*, int32_t, void*, float, float);

struct Case {
    const char* name;
    std::vector<std::pair<std::string, Unary>> paths;
    double (*exact)(double);
    double tolerance;  // |y - exact| <= tolerance * max(1, |exact|)
};

Unary unary(UnaryFn k) {
    if (!k) return Unary();
    return [k](const float* x, float* y, int32_t n) { k(x, y, n, nullptr); };
}
Unary relu6(ClampFn k) {
    if (!k) return Unary();
    return [k](const float* x, float* y, int32_t n) { k(x, y, n, nullptr, 0.0f, 6.0f); };
}
#define PATHS(U, k) runnable_paths(VANTREL_KERNEL_VARIANTS(U, k))

double relu6_d(double x) { return std::min(std::max(x, 0.0), 6.0); }

const std::vector<Case>& cases() {
    static const std::vector<Case> c = {
        {"clamp", PATHS(relu6, k_clamp_f32), relu6_d, 0.0},
        {"hard_swish", PATHS(unary, k_hard_swish_f32), [](double x) { return x * relu6_d(x + 3) / 6; }, 1.2e-7},
        {"hard_sigmoid", PATHS(unary, k_hard_sigmoid_f32), [](double x) { return relu6_d(x + 3) / 6; }, 1.2e-7},
        {"gelu_erf", PATHS(unary, k_gelu_erf_f32), [](double x) { return 0.5 * x * (1 + std::erf(x / std::sqrt(2.0))); },
         3e-7},
    };
    return c;
}

class UngroupedActivation : public ::testing::TestWithParam<int> {
protected:
    const Case& k() const { return cases()[GetParam()]; }
};

TEST_P(UngroupedActivation, EveryPathEqualsPortableAtEveryLength) {
    for (int n : lengths_through(35)) {
        std::vector<float> x = uniform(size_t(n), unsigned(n) + 1, -12.0f, 12.0f), want(n);
        k().paths[0].second(x.data(), want.data(), n);
        for (auto& [path, fn] : k().paths) {
            std::vector<float> y(n + 16, 7.0f);
            fn(x.data(), y.data(), n);
            for (int i = 0; i < n; ++i)
                ASSERT_TRUE(same_float(y[i], want[i]))
                    << k().name << " " << path << " n=" << n << " i=" << i << " x=" << x[i];
            for (int i = n; i < n + 16; ++i) ASSERT_EQ(y[i], 7.0f) << path << " wrote past n at " << i;
        }
    }
}

TEST_P(UngroupedActivation, CloseToDoublePrecision) {
    std::vector<float> x(20001), y(x.size());
    for (size_t i = 0; i < x.size(); ++i) x[i] = -16.0f + 32.0f * float(i) / float(x.size() - 1);
    x.insert(x.end(), {1e-30f, -1e-30f, 1e-6f, -1e-6f, 3e4f, -3e4f});
    y.resize(x.size());
    k().paths[0].second(x.data(), y.data(), int32_t(x.size()));
    expect_close_to_double(k().name, x, y, k().exact, k().tolerance);
}

INSTANTIATE_TEST_SUITE_P(All, UngroupedActivation, ::testing::Range(0, 4),
                         [](const ::testing::TestParamInfo<int>& i) { return std::string(cases()[i.param].name); });

// NaN passes through every op; clamp maps infinities to its bounds and keeps
// -0. The specials sit in whole registers and in the tail on every path.
TEST(UngroupedActivation, NanAndInfinitiesOnEveryPath) {
    const float inf = INFINITY;
    std::vector<float> x = {NAN, inf, -inf, -0.0f, 0.5f, -7.0f, 9.0f, NAN, inf, -inf, -0.0f, 2.0f,
                            NAN, inf, -inf, -0.0f, 1.0f, -2.0f, 7.0f, NAN, inf, -inf, -0.0f};
    const int n = int(x.size());
    std::vector<float> y(n);
    for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(ClampFn, k_clamp_f32)))
        for (auto [lo, hi] : {std::pair<float, float>{0.0f, 6.0f}, {-1.0f, 1.0f}}) {
            fn(x.data(), y.data(), n, nullptr, lo, hi);
            for (int i = 0; i < n; ++i) {
                float want = std::isnan(x[i]) ? x[i] : std::min(std::max(x[i], lo), hi);
                EXPECT_TRUE(same_float(y[i], want)) << path << " lo=" << lo << " i=" << i << " got " << y[i];
            }
        }
    for (const Case& c : cases())
        for (auto& [path, fn] : c.paths) {
            fn(x.data(), y.data(), n);
            for (int i = 0; i < n; ++i)
                if (std::isnan(x[i])) {
                    EXPECT_TRUE(std::isnan(y[i])) << c.name << " " << path << " i=" << i;
                }
        }
}

// Through the factory: clamp's default is ReLU6, "min"/"max" give hardtanh.
TEST(UngroupedActivation, LayersFromNodes) {
    std::vector<float> x = {-7, -3, -1.5f, -0.25f, 0, 0.5f, 2, 4, 6.5f}, y(9);
    auto check = [&](const std::string& json, double (*f)(double)) {
        auto l = make_layer(json);
        ASSERT_EQ(run_layer(*l, x, {3, 3, 1}, y), "") << json;
        for (int i = 0; i < 9; ++i) EXPECT_NEAR(y[i], f(x[i]), 3e-7) << json << " x=" << x[i];
    };
    check(R"({"op":"clamp_fp32"})", relu6_d);
    check(R"({"op":"clamp_fp32","min":-1.0,"max":1.0})", [](double v) { return std::min(std::max(v, -1.0), 1.0); });
    for (int i = 1; i < 4; ++i) check(std::string(R"({"op":")") + cases()[i].name + R"(_fp32"})", cases()[i].exact);
}

// conv_fp32's "act" gives the bits of the separate op on the plain
// convolution's output, on the Winograd, im2col and depthwise paths.
TEST(UngroupedActivation, FusedIntoConvolutionExactly) {
    const std::string geoms[] = {R"("C_out":5,"C_in":4,"kH":3,"kW":3,"pad_h":1,"pad_w":1)",
                                 R"("C_out":5,"C_in":4,"kH":3,"kW":2,"stride_h":2)",
                                 R"("C_out":4,"C_in":4,"kH":3,"kW":3,"pad_h":1,"pad_w":1,"groups":4)"};
    const std::pair<std::string, std::function<void(std::vector<float>&)>> acts[] = {
        {R"("act":1,"clamp_min":-0.5,"clamp_max":0.75)",
         [](std::vector<float>& v) { k_clamp_f32(v.data(), v.data(), int32_t(v.size()), nullptr, -0.5f, 0.75f); }},
        {R"("act":1)", [](std::vector<float>& v) { k_clamp_f32(v.data(), v.data(), int32_t(v.size()), nullptr, 0, 6); }},
        {R"("act":2)", [](std::vector<float>& v) { k_hard_swish_f32(v.data(), v.data(), int32_t(v.size()), nullptr); }}};
    std::vector<float> x = uniform(4 * 6 * 7, 11, -2.0f, 2.0f);
    for (const std::string& g : geoms) {
        auto plain = make_layer(R"({"op":"conv_fp32",)" + g + "}", "c1");
        const ConvFp32& c = dynamic_cast<ConvFp32&>(*plain);
        ByteTensors t = {{"c1.weight", bytes_of(uniform(size_t(c.C_out) * (c.C_in / c.groups) * c.kH * c.kW, 12))},
                         {"c1.bias", bytes_of(uniform(size_t(c.C_out), 13))}};
        plain->load_weights(fetch_bytes(t, 4));
        const Shape3 os = plain->output_shape({4, 6, 7});
        std::vector<float> want(size_t(os.c) * os.h * os.w), got(want.size());
        ASSERT_EQ(run_layer(*plain, x, {4, 6, 7}, want), "") << g;
        for (auto& [a, apply] : acts) {
            auto fused = make_layer(R"({"op":"conv_fp32",)" + g + "," + a + "}", "c1");
            fused->load_weights(fetch_bytes(t, 4));
            ASSERT_EQ(run_layer(*fused, x, {4, 6, 7}, got), "") << g << a;
            std::vector<float> w = want;
            apply(w);
            EXPECT_EQ(0, std::memcmp(w.data(), got.data(), w.size() * 4)) << g << " " << a;
        }
    }
    EXPECT_NE(error_of([] { make_layer(R"({"op":"conv_fp32","C_out":1,"C_in":1,"act":3})"); })
                  .find("argument 'act' must be 0 (none), 1 (clamp) or 2 (hard swish), got 3"),
              std::string::npos);
}

}  // namespace
