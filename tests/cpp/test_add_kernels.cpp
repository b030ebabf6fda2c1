// Float and int8 addition kernels against scalar references written from
// their formulas, on every path this CPU runs, and (int8) at 1 and 2 threads.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kernels/elementwise/add_f32.h"
#include "kernels/elementwise/add_s8.h"
#include "kernel_test_paths.h"

using namespace vantrel;
using namespace vantrel_test;

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
