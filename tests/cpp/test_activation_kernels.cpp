// Activation kernels on every path against a scalar reference written from
// the formulas (exact on groups and tails) and against double-precision
// math (close).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kernels/elementwise/activation.h"
#include "engine/backend.h"
#include "kernel_test_paths.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

float from_bits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

// ---- reference, from the formulas -------------------------------------
float ref_vexp(float z) {
    if (std::isnan(z)) return z;
    z = std::fmin(std::fmax(z, -88.0f), 88.0f);
    float k = std::nearbyint(z * 1.44269502f);
    float r = std::fmaf(k, -0.693359375f, z);
    r = std::fmaf(k, 2.12194442e-4f, r);
    float p = 1.98756912e-4f;
    for (float c : {1.39819994e-3f, 8.33345205e-3f, 4.16657962e-2f, 0.166666657f, 0.5f, 1.0f, 1.0f})
        p = std::fmaf(p, r, c);
    return p * from_bits(uint32_t(int(k) + 127) << 23);
}
float ref_r1(float d) {
    float r0 = 1.0f / d;
    return r0 * (2.0f - d * r0);
}
float ref_recip(float d) {
    float r1 = ref_r1(d);
    return r1 * (2.0f - d * r1);
}
float ref_vsin(float x) {
    float k = std::nearbyint(x * 0.318309873f);
    float r = x - k * 3.14159274f;
    float q = r * r, p = 2.75573166e-6f;
    for (float c : {-1.98412701e-4f, 8.33333377e-3f, -0.166666672f, 1.0f}) p = p * q + c;
    float y = r * p;
    // Rounded values at or above 2^24 are even.
    bool odd = std::fabs(k) < 16777216.0f && (int64_t(k) % 2 != 0);
    return odd ? -y : y;
}

using Unary = std::function<void(const float*, float*, int32_t)>;

struct Kernel {
    const char* name;
    std::vector<std::pair<std::string, Unary>> paths;
    float (*group)(float);
    float (*tail)(float);
    double (*exact)(double);
    double tolerance;  // |y - exact| <= tolerance * max(1, |exact|)
    float lo, hi;      // input range of the random data
};

// One signature for every kernel; an absent variant gives an empty function.
Unary unary(KUnaryF32 k) {
    if (!k) return Unary();
    return [k](const float* x, float* y, int32_t n) { k(x, y, n, nullptr); };
}
Unary in_place(KInplaceF32 k) {
    if (!k) return Unary();
    return [k](const float* x, float* y, int32_t n) {
        std::copy(x, x + n, y);
        k(y, n, nullptr);
    };
}
Unary leaky(KLeakyReluF32 k) {
    if (!k) return Unary();
    return [k](const float* x, float* y, int32_t n) { k(x, y, n, nullptr, 0.2f); };
}
#define PATHS(U, k) runnable_paths(VANTREL_KERNEL_VARIANTS(U, k))

float leaky_ref(float x) { return x >= 0.0f ? x : 0.2f * x; }
double sigmoid_d(double x) { return 1.0 / (1.0 + std::exp(-x)); }
double gelu_d(double x) { return 0.5 * x * (1.0 + std::tanh(0.7978845608 * (x + 0.044715 * x * x * x))); }
double silu_d(double x) { return x * sigmoid_d(x); }

const std::vector<Kernel>& kernels() {
    static const std::vector<Kernel> all = {
        {"leaky_relu", PATHS(leaky, k_leaky_relu_f32), leaky_ref, leaky_ref,
         [](double x) { return x >= 0 ? x : 0.2 * x; }, 1e-7, -50, 50},
        {"exp", PATHS(unary, k_exp_f32), ref_vexp, [](float x) { return std::exp(x); },
         [](double x) { return std::exp(x); }, 3e-7, -80, 80},
        {"sin", PATHS(unary, k_sin_f32), ref_vsin, [](float x) { return std::sin(x); },
         [](double x) { return std::sin(x); }, 5e-6, -20, 20},
        {"sigmoid", PATHS(unary, k_sigmoid_f32), [](float x) { return ref_recip(1.0f + ref_vexp(-x)); },
         [](float x) { return 1.0f / (1.0f + std::exp(-x)); }, sigmoid_d, 3e-7, -30, 30},
        {"tanh", PATHS(unary, k_tanh_f32),
         [](float x) {
             float d = 1.0f + ref_vexp(-2.0f * x), r1 = ref_r1(d);
             return 2.0f * r1 * (2.0f - d * r1) - 1.0f;
         },
         [](float x) { return std::tanh(x); }, [](double x) { return std::tanh(x); }, 3e-7, -12, 12},
        {"gelu", PATHS(in_place, k_gelu_f32),
         [](float x) {
             float u = x + 0.044715f * ((x * x) * x);
             float d = 1.0f + ref_vexp(1.59576917f * u), r1 = ref_r1(d);
             return x * (1.0f - r1 * (2.0f - d * r1));
         },
         [](float x) {
             float u = x + (x * x) * (x * 0.044715f);
             return 0.5f * x * (1.0f + std::tanh(0.7978846f * u));
         },
         gelu_d, 1e-6, -12, 12},
        {"silu", PATHS(unary, k_silu_f32), [](float x) { return x * ref_recip(1.0f + ref_vexp(-x)); },
         [](float x) { return x / (1.0f + std::exp(-x)); }, silu_d, 1e-6, -40, 40},
    };
    return all;
}

// Random values in [lo, hi] with specials at fixed places, so they fall in
// groups and in tails as n varies.
std::vector<float> inputs(const Kernel& k, int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(k.lo, k.hi);
    std::vector<float> x(n);
    for (float& v : x) v = u(rng);
    // Large values: multiples of pi beyond 2^24 and beyond the int32 range.
    const float specials[] = {0.0f, -0.0f, NAN, 100.0f, -100.0f, 1e-30f, 3.0e9f, -7.5e12f, 8.0e12f, INFINITY, 2.5f};
    const unsigned count = sizeof specials / sizeof specials[0];
    for (int i = 0; i < n; i += 3) x[i] = specials[(i / 3 + seed) % count];
    return x;
}

}  // namespace

class ActivationKernel : public ::testing::TestWithParam<int> {
protected:
    const Kernel& k() const { return kernels()[GetParam()]; }
};

// Exact on every path, so the vector paths equal the portable one bit for bit.
TEST_P(ActivationKernel, EveryPathMatchesFormulasExactly) {
    std::vector<int> lengths;
    for (int n = 0; n <= 40; ++n) lengths.push_back(n);
    lengths.push_back(1037);
    for (auto& [path, fn] : k().paths)
        for (int n : lengths) {
            std::vector<float> x = inputs(k(), n, unsigned(n)), y(n + 16, 7.0f);
            fn(x.data(), y.data(), n);
            for (int i = 0; i < n; ++i) {
                float want = i < n / 4 * 4 ? k().group(x[i]) : k().tail(x[i]);
                ASSERT_TRUE(same_float(y[i], want)) << k().name << " " << path << " n=" << n << " i=" << i
                                              << " x=" << x[i] << " got " << y[i] << " want " << want;
            }
            for (int i = n; i < n + 16; ++i) ASSERT_EQ(y[i], 7.0f) << path << " wrote past n at " << i;
        }
}

TEST_P(ActivationKernel, CloseToDoublePrecision) {
    std::vector<float> x(4003), y(4003);
    for (size_t i = 0; i < x.size(); ++i) x[i] = k().lo + (k().hi - k().lo) * float(i) / float(x.size() - 1);
    k().paths[0].second(x.data(), y.data(), int32_t(x.size()));
    for (size_t i = 0; i < x.size(); ++i) {
        double e = k().exact(x[i]);
        ASSERT_LE(std::fabs(y[i] - e), k().tolerance * std::fmax(1.0, std::fabs(e)))
            << k().name << " x=" << x[i] << " got " << y[i] << " want " << e;
    }
}

INSTANTIATE_TEST_SUITE_P(All, ActivationKernel, ::testing::Range(0, 7),
                         [](const ::testing::TestParamInfo<int>& i) { return std::string(kernels()[i.param].name); });

TEST(ActivationKernels, EdgeValuesInGroupsAndTails) {
    // Five elements: the first four form a group, the fifth is a tail.
    std::vector<float> x = {-100, 100, -100, 0, -100}, y(5);
    k_sigmoid_f32(x.data(), y.data(), 5, nullptr);
    for (int i : {0, 2, 4}) {
        EXPECT_GE(y[i], 0.0f) << i;  // not NaN: the exponent is clamped to 88
        EXPECT_LT(y[i], 1e-37f) << i;
    }
    k_exp_f32(x.data(), y.data(), 5, nullptr);
    EXPECT_NEAR(y[1] / std::ldexp(1.0f, 127), 1.0, 0.05);  // exp(88), about 2^127
    EXPECT_EQ(y[0], 0.0f);  // clamped to -88: 2^-127 has a zero exponent field
    EXPECT_EQ(y[4], std::exp(-100.0f));  // the tail keeps expf's subnormal
    // Leaky ReLU: -0 counts as >= 0 and is kept; NaN gives alpha * NaN.
    x = {-0.0f, NAN, -2.0f, 3.0f, -0.0f};
    k_leaky_relu_f32(x.data(), y.data(), 5, nullptr, 0.5f);
    EXPECT_EQ(float_bits(y[0]), float_bits(-0.0f));
    EXPECT_TRUE(std::isnan(y[1]));
    EXPECT_EQ(y[2], -1.0f);
    EXPECT_EQ(y[3], 3.0f);
    EXPECT_EQ(float_bits(y[4]), float_bits(-0.0f));
}
