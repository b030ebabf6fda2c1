// Element-wise kernels and layers: activations, addition (float and int8),
// scaling, products, row sums, concatenation and channel slices. The kernels
// on every path against scalar references written from their formulas (exact
// on groups and tails) and against double-precision math; the layers built
// through the factory against hand-computed or math-library results and the
// inputs they must refuse rather than read out of bounds.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/backend.h"
#include "engine/cpu_backend/cpu_backend.h"
#include "kernel_test_paths.h"
#include "layer_test_util.h"
#include "kernels/elementwise/activation.h"
#include "kernels/elementwise/add_f32.h"
#include "kernels/elementwise/add_s8.h"
#include "kernels/elementwise/concat1d_f32.h"
#include "kernels/elementwise/mul_f32.h"
#include "kernels/elementwise/row_sum_f32.h"
#include "kernels/elementwise/slice_channels_f32.h"
#include "layers/image/activation_fp32.h"
#include "layers/image/add_int8.h"
#include "layers/image/scale_fp32.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"

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
    for (auto& [path, fn] : k().paths)
        for (int n : lengths_through(40)) {
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
    expect_close_to_double(k().name, x, y, k().exact, k().tolerance);
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

namespace {

std::vector<int> lengths() {
    std::vector<int> l;
    for (int n = 0; n <= 40; ++n) l.push_back(n);
    l.push_back(4099);
    return l;
}

using AddF32Fn = void (*)(const float*, const float*, float*, int32_t, bool, void*);
using AddS8Fn = void (*)(const int8_t*, const int8_t*, int32_t, int32_t, int32_t, int8_t*, int32_t, void*,
                         float, float, float);
auto add_f32_paths() { return runnable_paths(VANTREL_KERNEL_VARIANTS(AddF32Fn, k_add_f32)); }
auto add_s8_paths() { return runnable_paths(VANTREL_KERNEL_VARIANTS(AddS8Fn, k_add_s8)); }

// ---- int8 reference ------------------------------------------------------
struct Mult {
    int64_t m;
    int e;
};
Mult multiplier(float r) {
    if (r == 0.0f) return {0, 0};
    int e;
    double q = std::frexp(double(r), &e);
    int64_t m = std::llround(q * 2147483648.0);
    if (m == (int64_t(1) << 31)) return {int64_t(1) << 30, e + 1};
    return {m, e};
}
int clamp(int64_t v, int lo, int hi) { return int(v < lo ? lo : (v > hi ? hi : v)); }

struct AddCase {
    float s1, s2, so;
    int z1, z2, zo;
};

// Which formula the reference used for element i: 0 fast block, 1 block of
// 8, 2 tail.
std::vector<int8_t> ref_add_s8(const std::vector<int8_t>& a, const std::vector<int8_t>& b, const AddCase& c,
                               int force_path = -1) {
    const int n = int(a.size());
    float inv = 1.0f / c.so, ra = c.s1 * inv, rb = c.s2 * inv;
    bool fast = std::fabs(ra) <= 7.99f && std::fabs(rb) <= 7.99f;
    if (force_path >= 0) fast = force_path == 0;
    const int block = fast ? 16 : 8, whole = n / block * block;
    Mult ma = multiplier(ra), mb = multiplier(rb);
    std::vector<int8_t> y(n);
    for (int i = 0; i < n; ++i) {
        if (i >= whole) {
            auto one = [](int64_t d, Mult m) {
                __int128 x = __int128(d) * m.m;
                int s = 31 - m.e;  // within (0, 63) for the cases below
                return (x + (__int128(1) << (s - 1))) >> s;
            };
            __int128 v = one(int64_t(a[i]) - c.z1, ma) + one(int64_t(b[i]) - c.z2, mb) + c.zo;
            y[i] = int8_t(v < -128 ? -128 : (v > 127 ? 127 : int(v)));
        } else if (fast) {
            int32_t qa = int32_t(std::round(ra * 4096.0f)), qb = int32_t(std::round(rb * 4096.0f));
            int32_t k = c.zo * 4096 - qa * c.z1 - qb * c.z2;
            int32_t acc = k + qa * a[i] + qb * b[i];
            y[i] = int8_t(clamp((acc + 2048) >> 12, -128, 127));
        } else {
            auto lane = [](int d, Mult m) {
                int16_t d16 = int16_t(d);
                int64_t t = (2 * int64_t(d16) * m.m + (int64_t(1) << 31)) >> 32;
                if (m.e >= 0) return int32_t(uint32_t(t) << m.e);
                return int32_t((t + (int64_t(1) << (-m.e - 1))) >> -m.e);
            };
            int32_t s = clamp(int64_t(lane(a[i] - c.z1, ma)) + lane(b[i] - c.z2, mb), -32768, 32767);
            y[i] = int8_t(clamp(int16_t(s + int16_t(c.zo)), -128, 127));
        }
    }
    return y;
}

std::vector<int8_t> random_s8(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<int8_t> v(n);
    for (auto& x : v) x = int8_t(int(rng() % 256) - 128);
    if (n > 0) v[0] = -128;
    if (n > 1) v[n - 1] = 127;
    return v;
}

}  // namespace

// ---- float ---------------------------------------------------------------
TEST(AddF32, EveryPathMatchesReferenceWithAndWithoutRelu) {
    for (auto& [path, fn] : add_f32_paths())
        for (bool relu : {false, true})
            for (int n : lengths()) {
                std::mt19937 rng(n);
                std::uniform_real_distribution<float> u(-4, 4);
                std::vector<float> a(n), b(n), y(n + 16, 7.0f);
                for (int i = 0; i < n; ++i) {
                    a[i] = u(rng);
                    b[i] = u(rng);
                }
                // -0 + -0 = -0 and NaN sums, at positions that land in groups and in tails.
                for (int i = 1; i < n; i += 5) a[i] = b[i] = -0.0f;
                for (int i = 3; i < n; i += 7) a[i] = NAN;
                fn(a.data(), b.data(), y.data(), n, relu, nullptr);
                for (int i = 0; i < n; ++i) {
                    float s = a[i] + b[i], want = s;
                    bool in_group = i < n / 4 * 4;
                    if (relu && !std::isnan(s)) want = (in_group ? s > 0.0f : s >= 0.0f) ? s : 0.0f;
                    bool ok = std::isnan(want) ? std::isnan(y[i]) : float_bits(y[i]) == float_bits(want);
                    ASSERT_TRUE(ok) << path << " relu=" << relu << " n=" << n << " i=" << i << " got " << y[i];
                }
                for (int i = n; i < n + 16; ++i) ASSERT_EQ(y[i], 7.0f) << path << " wrote past n at " << i;
            }
}

// ---- int8 ----------------------------------------------------------------
class AddS8 : public ::testing::TestWithParam<AddCase> {};

TEST_P(AddS8, EveryPathAndThreadCountMatchesReference) {
    const AddCase& c = GetParam();
    const int saved = omp_get_max_threads();
    for (int threads : {1, 2}) {
        omp_set_num_threads(threads);
        for (auto& [path, fn] : add_s8_paths())
            for (int n : lengths()) {
                std::vector<int8_t> a = random_s8(n, n), b = random_s8(n, n + 1000), y(n + 32, 99);
                std::vector<int8_t> want = ref_add_s8(a, b, c);
                fn(a.data(), b.data(), c.z1, c.z2, c.zo, y.data(), n, nullptr, c.s1, c.s2, c.so);
                for (int i = 0; i < n; ++i)
                    ASSERT_EQ(int(y[i]), int(want[i])) << path << " threads=" << threads << " n=" << n
                                                       << " i=" << i << " a=" << int(a[i]) << " b=" << int(b[i]);
                for (int i = n; i < n + 32; ++i) ASSERT_EQ(y[i], 99) << path << " wrote past n at " << i;
            }
    }
    omp_set_num_threads(saved);
}

INSTANTIATE_TEST_SUITE_P(
    Scales, AddS8,
    ::testing::Values(AddCase{1, 1, 1, 0, 0, 0},              // saturating a + b
                      AddCase{0.05f, 0.1f, 0.08f, -3, 7, 2},   // typical ratios below 1
                      AddCase{0.3f, 0.3f, 0.04f, 5, -5, -10},  // ratio 7.5: still the fast path
                      AddCase{7.99f, 1, 1, 1, 2, 3},           // exactly the limit: fast path
                      AddCase{10, 1, 1, 0, 0, 0},              // ratio above 7.99: blocks of 8
                      AddCase{8, -0.5f, 1, -1, 4, 20},         // negative ratio on the 8 path
                      AddCase{1, 300, 2, 3, -2, -128},         // large ratio: shifts left
                      AddCase{0.001f, 9, 1, 127, -128, 5},     // small ratio: long right shift
                      AddCase{9, 9, 1, 40000, -40000, 70000})); // zero points wrap in 16 bits

TEST(AddS8, IdentityScalesGiveSaturatedSumIncludingTail) {
    for (auto& [path, fn] : add_s8_paths()) {
        const int n = 37;  // two blocks of 16 and a tail of 5
        std::vector<int8_t> a = random_s8(n, 5), b = random_s8(n, 6), y(n);
        fn(a.data(), b.data(), 0, 0, 0, y.data(), n, nullptr, 1.0f, 1.0f, 1.0f);
        for (int i = 0; i < n; ++i) EXPECT_EQ(int(y[i]), clamp(int(a[i]) + b[i], -128, 127)) << path << " i=" << i;
    }
}

TEST(AddS8, RatioAboveLimitTakesTheBlockOf8Formula) {
    // Ratio 7.995 (just above 7.99): the block-of-8 formula rounds each
    // operand separately, so on unsaturated data it disagrees with the
    // block-of-16 one somewhere, and the kernel must give the former.
    const AddCase c{7.995f, 0.37f, 1.0f, 0, 0, 0};
    std::vector<int8_t> a = random_s8(64, 11), b = random_s8(64, 12), y(64);
    for (auto& v : a) v = int8_t(v / 9);  // keep 7.995 * a inside int8
    std::vector<int8_t> slow = ref_add_s8(a, b, c, 1), fast = ref_add_s8(a, b, c, 0);
    ASSERT_NE(slow, fast);
    k_add_s8(a.data(), b.data(), 0, 0, 0, y.data(), 64, nullptr, c.s1, c.s2, c.so);
    EXPECT_EQ(y, slow);
}

namespace {

std::unique_ptr<ILayer> make(const std::string& json, bool relu = false) { return make_layer(json, "node1", relu); }
std::string run(ILayer& l, TensorView* in, int n, BufferView out) { return forward_error(l, in, n, out); }

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
    ::testing::Values(Rejection{"add_int8", 1, 8, 8, 8, "needs 2 inputs"}, Rejection{"add_fp32", 2, 8, 7, 8, "input 1"},
                      Rejection{"add_int8", 2, 8, 8, 7, "output buffer"}));

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

// Large activations, channel scalings and copies split across threads; the
// split must give the bits of one whole-tensor kernel call (odd tail
// included) or of the copy's index formula.
TEST(ElementwiseLayers, ThreadSplitMatchesOneCall) {
    const int rows = 9001, c = 7, n = rows * c;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-8.0f, 8.0f);
    std::vector<float> x(static_cast<size_t>(n)), s(static_cast<size_t>(c)), y(x.size()), want(x.size());
    for (float& v : x) v = u(rng);
    for (float& v : s) v = u(rng);
    const Backend& be = cpu_backend();
    const int saved = omp_get_max_threads();
    omp_set_num_threads(2);
    struct Op { const char* json; std::function<void()> ref; };
    const Op ops[] = {
        {R"({"op":"silu_fp32"})", [&] { be.k_silu_f32(x.data(), want.data(), n, nullptr); }},
        {R"({"op":"sigmoid_fp32"})", [&] { be.k_sigmoid_f32(x.data(), want.data(), n, nullptr); }},
        {R"({"op":"hard_swish_fp32"})", [&] { be.k_hard_swish_f32(x.data(), want.data(), n, nullptr); }},
        {R"({"op":"leaky_relu_fp32","alpha":0.25})",
         [&] { be.k_leaky_relu_f32(x.data(), want.data(), n, nullptr, 0.25f); }},
        {R"({"op":"channel_mul_fp32"})", [&] {
             for (int i = 0; i < n; ++i) want[size_t(i)] = x[size_t(i)] * s[size_t(i % c)];
         }},
    };
    for (const Op& op : ops) {
        op.ref();
        TensorView in[2] = {view(x, {c, rows, 1}), view(s, {c, 1, 1})};
        std::fill(y.begin(), y.end(), 0.0f);
        ASSERT_EQ(run(*make(op.json), in, std::string(op.json).find("channel_mul") != std::string::npos ? 2 : 1, out_view(y)), "");
        EXPECT_EQ(0, std::memcmp(y.data(), want.data(), y.size() * 4)) << op.json;
    }
    // Larger copies, against index formulas: a 2-group shuffle and a concat
    // of unequal parts.
    std::vector<float> s2(size_t(rows) * 4), cat(size_t(rows) * (c + 4));
    for (float& v : s2) v = u(rng);
    {
        std::vector<float> x8(size_t(rows) * 8);
        for (float& v : x8) v = u(rng);
        std::vector<float> y8(x8.size());
        TensorView in[1] = {view(x8, {8, rows, 1})};
        ASSERT_EQ(run(*make(R"({"op":"channel_shuffle_fp32","groups":2})"), in, 1, out_view(y8)), "");
        for (int r = 0; r < rows; ++r)
            for (int i = 0; i < 4; ++i)
                for (int g = 0; g < 2; ++g)
                    ASSERT_EQ(y8[size_t(r * 8 + i * 2 + g)], x8[size_t(r * 8 + g * 4 + i)]) << r << " " << i;
    }
    TensorView in2[2] = {view(x, {c, rows, 1}), view(s2, {4, rows, 1})};
    ASSERT_EQ(run(*make(R"({"op":"concat_fp32"})"), in2, 2, out_view(cat)), "");
    for (int r = 0; r < rows; ++r) {
        for (int j = 0; j < c; ++j) ASSERT_EQ(cat[size_t(r * (c + 4) + j)], x[size_t(r * c + j)]) << r;
        for (int j = 0; j < 4; ++j) ASSERT_EQ(cat[size_t(r * (c + 4) + c + j)], s2[size_t(r * 4 + j)]) << r;
    }
    omp_set_num_threads(saved);
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

namespace {

std::unique_ptr<ILayer> make_op(const std::string& op, const std::string& args = "") {
    return make_layer("{\"op\":\"" + op + "\"" + args + "}");
}
TensorView view(std::vector<float>& v, int c, int h, int w) { return {v.data(), 0, v.size() * 4, c, h, w}; }
Shape3 run(ILayer& l, std::vector<TensorView> in, std::vector<float>& y) {
    BufferView out{y.data(), 0, y.size() * 4};
    ExecContext ctx;
    return l.forward(in.data(), int(in.size()), &out, &ctx);
}
void expect_rejected(const std::function<void()>& fn, const std::string& what) {
    try {
        fn();
        ADD_FAILURE() << what << ": accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("node 'n1'"), std::string::npos) << what << ": " << e.what();
    }
}

// ---- kernels -------------------------------------------------------------

TEST(RowSumF32, LaneOrderOnEveryPath) {
    using Fn = void (*)(const float*, float*, int32_t, int32_t);
#if defined(__aarch64__)
    auto paths = runnable_paths<Fn>(&k_row_sum_f32, nullptr, nullptr, &k_row_sum_f32_neon);
#else
    auto paths = runnable_paths<Fn>(&k_row_sum_f32, nullptr, nullptr, nullptr);
#endif
    for (int c : {0, 1, 3, 4, 5, 8, 9, 33}) {
        const int rows = 6;
        // Mixed magnitudes make every summation order give different bits.
        std::vector<float> x = uniform(size_t(rows * c), 40 + c);
        for (size_t i = 0; i < x.size(); i += 3) x[i] *= 1e4f;
        std::vector<float> want(rows);
        for (int r = 0; r < rows; ++r) {
            float l[4] = {0, 0, 0, 0};
            for (int i = 0; i < c / 4 * 4; ++i) l[i % 4] += x[size_t(r * c + i)];
            float s = (l[0] + l[1]) + (l[2] + l[3]);
            for (int i = c / 4 * 4; i < c; ++i) s += x[size_t(r * c + i)];
            want[size_t(r)] = s;
        }
        for (auto& [name, fn] : paths) {
            std::vector<float> y(rows + 1, -3.0f);
            fn(x.data(), y.data(), rows, c);
            for (int r = 0; r < rows; ++r) EXPECT_TRUE(same_float(y[size_t(r)], want[size_t(r)])) << name << " C=" << c;
            EXPECT_EQ(y[rows], -3.0f) << name;
        }
    }
}

TEST(MulF32, EveryPathEveryLength) {
    using Fn = void (*)(const float*, const float*, float*, int32_t, void*);
    for (int n : {0, 1, 3, 4, 7, 8, 15, 16, 17, 31, 33, 4099}) {
        std::vector<float> a = uniform(size_t(n), 1), b = uniform(size_t(n), 2);
        for (auto& [name, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(Fn, k_mul_f32))) {
            std::vector<float> y(size_t(n) + 1, -3.0f);
            fn(a.data(), b.data(), y.data(), n, nullptr);
            for (int i = 0; i < n; ++i) ASSERT_TRUE(same_float(y[size_t(i)], a[size_t(i)] * b[size_t(i)])) << name << " " << i;
            EXPECT_EQ(y[size_t(n)], -3.0f) << name << " n=" << n;
        }
    }
}

TEST(ConcatSliceF32, RowsAsWritten) {
    const int n = 5, c1 = 3, c2 = 2;
    std::vector<float> a = uniform(n * c1, 3), b = uniform(n * c2, 4), y(n * (c1 + c2) + 1, -3.0f);
    for (bool broadcast : {false, true}) {
        k_concat1d_f32(a.data(), b.data(), y.data(), n, c1, c2, broadcast, nullptr);
        for (int t = 0; t < n; ++t)
            for (int i = 0; i < c1 + c2; ++i)
                EXPECT_EQ(y[size_t(t * (c1 + c2) + i)],
                          i < c1 ? a[size_t(t * c1 + i)] : b[size_t((broadcast ? 0 : t) * c2 + i - c1)]);
        EXPECT_EQ(y.back(), -3.0f);
    }
    std::vector<float> s(n * 2 + 1, -3.0f);
    k_slice_channels_f32(y.data(), s.data(), n, c1 + c2, 2, 2, nullptr);
    for (int t = 0; t < n; ++t)
        for (int i = 0; i < 2; ++i) EXPECT_EQ(s[size_t(t * 2 + i)], y[size_t(t * 5 + 2 + i)]);
    EXPECT_EQ(s.back(), -3.0f);
    // N = 0 writes nothing.
    k_concat1d_f32(a.data(), b.data(), s.data(), 0, c1, c2, false, nullptr);
    k_slice_channels_f32(y.data(), s.data(), 0, 5, 0, 5, nullptr);
    EXPECT_EQ(s.back(), -3.0f);
}

// ---- layers --------------------------------------------------------------

TEST(Concat1dFp32Layer, RepeatsOneRowAndCopiesWithoutSecondInput) {
    std::vector<float> a = uniform(4 * 3, 5), b = uniform(4 * 2, 6), style = uniform(2, 7), y(4 * 5);
    auto l = make_op("concat1d_fp32", ",\"C2\":2");
    EXPECT_EQ(l->output_shape({3, 4, 1}), (Shape3{5, 4, 1}));
    for (bool one_row : {false, true}) {
        TensorView bv = one_row ? view(style, 2, 1, 1) : view(b, 2, 4, 1);
        EXPECT_EQ(run(*l, {view(a, 3, 4, 1), bv}, y), (Shape3{5, 4, 1}));
        for (int t = 0; t < 4; ++t)
            for (int i = 0; i < 5; ++i)
                EXPECT_EQ(y[size_t(t * 5 + i)], i < 3 ? a[size_t(t * 3 + i)] : one_row ? style[size_t(i - 3)] : b[size_t(t * 2 + i - 3)]);
    }
    auto copy = make_op("concat1d_fp32");
    std::vector<float> yc(12);
    EXPECT_EQ(run(*copy, {view(a, 3, 4, 1)}, yc), (Shape3{3, 4, 1}));
    EXPECT_EQ(yc, a);
}

TEST(Concat1dFp32Layer, Rejections) {
    std::vector<float> a = uniform(4 * 3, 5), b = uniform(3 * 2, 6), y(4 * 5);
    auto l = make_op("concat1d_fp32", ",\"C2\":2");
    expect_rejected([&] { run(*l, {view(a, 3, 4, 1)}, y); }, "one input, C2 > 0");
    expect_rejected([&] { run(*l, {view(a, 3, 4, 1), view(b, 3, 2, 1)}, y); }, "b channels != C2");
    expect_rejected([&] { run(*l, {view(a, 3, 4, 1), view(b, 2, 3, 1)}, y); }, "rows disagree");
    expect_rejected([&] { run(*l, {view(a, 3, 4, 1), view(b, 2, 0, 1)}, y); }, "no row to repeat");
    TensorView short_b{b.data(), 0, 5 * 4, 2, 3, 1};
    std::vector<float> a3 = uniform(3 * 3, 8);
    expect_rejected([&] { run(*l, {view(a3, 3, 3, 1), short_b}, y); }, "b view too small");
    std::vector<float> small(19);
    expect_rejected([&] { run(*l, {view(a, 3, 4, 1), view(b, 2, 1, 1)}, small); }, "output too small");
    expect_rejected([&] { make_op("concat1d_fp32", ",\"C2\":-1"); }, "negative C2");
}

TEST(SliceChannelsFp32Layer, RangesAndRejections) {
    std::vector<float> x = uniform(3 * 2 * 6, 9), y(36);
    auto all = make_op("slice_channels_fp32", ",\"ch_start\":0,\"ch_end\":6");
    EXPECT_EQ(run(*all, {view(x, 6, 3, 2)}, y), (Shape3{6, 6, 1}));  // rows L*W
    EXPECT_EQ(y, x);
    auto mid = make_op("slice_channels_fp32", ",\"ch_start\":2,\"ch_end\":5");
    EXPECT_EQ(mid->output_shape({6, 3, 2}), (Shape3{3, 3, 2}));
    EXPECT_EQ(run(*mid, {view(x, 6, 3, 2)}, y), (Shape3{3, 6, 1}));
    for (int t = 0; t < 6; ++t)
        for (int i = 0; i < 3; ++i) EXPECT_EQ(y[size_t(t * 3 + i)], x[size_t(t * 6 + 2 + i)]);
    expect_rejected([&] { run(*mid, {view(x, 4, 9, 1)}, y); }, "ch_end past the channels");
    expect_rejected([&] { make_op("slice_channels_fp32", ",\"ch_start\":-1,\"ch_end\":2"); }, "negative start");
    expect_rejected([&] { make_op("slice_channels_fp32", ",\"ch_start\":3,\"ch_end\":2"); }, "end before start");
    std::vector<float> small(17);
    expect_rejected([&] { run(*mid, {view(x, 6, 3, 2)}, small); }, "output too small");
}

TEST(SumAndMulLayers, ShapesValuesAndRejections) {
    std::vector<float> x = uniform(5 * 2 * 4, 10), y(10);
    auto sum = make_op("sum_channels_fp32");
    EXPECT_EQ(sum->output_shape({4, 5, 2}), (Shape3{1, 5, 2}));
    EXPECT_EQ(run(*sum, {view(x, 4, 5, 2)}, y), (Shape3{1, 10, 1}));
    for (int t = 0; t < 10; ++t) {
        const float* r = &x[size_t(t * 4)];
        EXPECT_TRUE(same_float(y[size_t(t)], (r[0] + r[1]) + (r[2] + r[3])));
    }
    std::vector<float> one = uniform(7, 11), y7(7);
    run(*sum, {view(one, 1, 7, 1)}, y7);
    EXPECT_EQ(y7, one);  // C = 1 copies the channel

    auto mul = make_op("elemwise_mul_fp32");
    std::vector<float> a = uniform(12, 12), b = uniform(12, 13), p(12);
    Shape3 in[2] = {{3, 4, 1}, {12, 1, 1}};
    EXPECT_EQ(mul->output_shape_multi(in, 2), (Shape3{3, 4, 1}));
    EXPECT_EQ(mul->output_shape_multi(in, 0), (Shape3{0, 0, 0}));
    EXPECT_EQ(run(*mul, {view(a, 3, 4, 1), view(b, 12, 1, 1)}, p), (Shape3{3, 4, 1}));
    for (int i = 0; i < 12; ++i) EXPECT_TRUE(same_float(p[size_t(i)], a[size_t(i)] * b[size_t(i)]));
    expect_rejected([&] { run(*mul, {view(a, 3, 4, 1)}, p); }, "one input");
    expect_rejected([&] { run(*mul, {view(a, 3, 4, 1), view(b, 11, 1, 1)}, p); }, "counts differ");
    TensorView short_b{b.data(), 0, 11 * 4, 12, 1, 1};
    expect_rejected([&] { run(*mul, {view(a, 3, 4, 1), short_b}, p); }, "b view too small");
}

}  // namespace
