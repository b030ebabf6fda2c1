// Snake activation: the kernel against a scalar reference written from the
// stated arithmetic (polynomial sine, reciprocal alpha), every vector path
// and thread count bit for bit; the layer's alpha checks.
#include <gtest/gtest.h>
#include <math.h>
#include <omp.h>

#include <vector>

#include "kernel_test_paths.h"
#include "kernels/audio/snake_f32.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

using SnakeFn = void (*)(const float*, float*, const float*, const float*, int32_t, int32_t, void*);

float ref_vsin(float x) {
    const float k = nearbyintf(x * 0.318309873f);
    const float r = x - k * 3.14159274f;
    const float q = r * r;
    float p = 2.75573166e-6f;
    for (float c : {-1.98412701e-4f, 8.33333377e-3f, -0.166666672f, 1.0f}) p = p * q + c;
    const float y = r * p;
    return (std::fabs(k) < 16777216.0f && (int64_t(k) & 1)) ? -y : y;
}

struct SnakeCase {
    int t, c;
};
class SnakeKernel : public ::testing::TestWithParam<SnakeCase> {};
INSTANTIATE_TEST_SUITE_P(Shapes, SnakeKernel,
                         ::testing::Values(SnakeCase{1, 1}, SnakeCase{5, 19}, SnakeCase{40, 64}, SnakeCase{300, 67}));

TEST_P(SnakeKernel, MatchesReferenceOnEveryPathAndThreadCount) {
    const auto p = GetParam();
    const size_t n = size_t(p.t) * p.c;
    auto x = randn(n, 1, 4.0f), a = randn(p.c, 2, 1.0f);
    a[0] = 0.0f;  // 1/alpha = 1e9, sin^2(0) = 0: out = x
    std::vector<float> ia(p.c);
    for (int j = 0; j < p.c; ++j) ia[j] = 1.0f / (a[j] + 1e-9f);
    std::vector<float> want(n), y(n);
    for (size_t i = 0; i < n; ++i) {
        const float s = ref_vsin(a[i % p.c] * x[i]);
        want[i] = x[i] + ia[i % p.c] * (s * s);
    }
    for (size_t i = 0; i < n; i += p.c) EXPECT_EQ(want[i], x[i]);
    const int saved = omp_get_max_threads();
    for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(SnakeFn, k_snake_f32)))
        for (int th : {1, 2, 3}) {
            omp_set_num_threads(th);
            fn(x.data(), y.data(), a.data(), ia.data(), p.t, p.c, nullptr);
            for (size_t i = 0; i < n; ++i) ASSERT_TRUE(same_float(y[i], want[i])) << path << " " << th << " at " << i;
        }
    omp_set_num_threads(saved);
}

TEST(SnakeLayer, AlphaMustBeLoadedAndMatchTheChannels) {
    auto snake = make_layer("{\"op\":\"snake1d_fp32\"}");
    EXPECT_NE(error_of([&] { snake->load_weights(fetch_from({})); }).find("'n1.alpha' is missing"), std::string::npos);
    snake->load_weights(fetch_from({{"n1.alpha", {0.5f, 1.0f}}}));
    std::vector<float> x(12, 100.0f), out(36);
    const std::string err = run_layer(*snake, x, {3, 4, 1}, out);
    EXPECT_NE(err.find("snake1d_fp32 node 'n1'"), std::string::npos) << err;
    EXPECT_NE(err.find("has 3 channels, 'n1.alpha' holds 2"), std::string::npos) << err;
}

}  // namespace
