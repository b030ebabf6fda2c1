// Float GEMM engine: every kernel path against a scalar reference that sums
// each output from 0 in increasing k with one fmaf per term, bit for bit.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/cpu_backend/cpu_backend.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernel_test_paths.h"
#include "kernels/kernel_path.h"

using namespace vantrel;

namespace {

struct PathFns {
    KernelPath id;
    float* (*pack)(const float*, int32_t, int32_t);
    uint64_t (*bytes)(int32_t, int32_t);
    void (*gemm)(const float*, const float*, const float*, float*, bool, int32_t, int32_t, int32_t,
                 bool);
    void (*linear)(const float*, const float*, const float*, float*, int32_t, int32_t,
                   const float*, void*);
    void (*relu)(float*, int32_t, void*);
};

void PrintTo(const PathFns& p, std::ostream* os) { *os << kernel_path_name(p.id); }

std::vector<PathFns> all_paths() {
    std::vector<PathFns> p = {{KernelPath::Portable, &pack_f32_portable, &packed_f32_bytes_portable,
                               &gemm_f32_portable, &linear_f32_portable, &relu_f32_portable}};
#if defined(__x86_64__)
    p.push_back({KernelPath::Avx2, &pack_f32_avx2, &packed_f32_bytes_avx2, &gemm_f32_avx2,
                 &linear_f32_avx2, &relu_f32_avx2});
    p.push_back({KernelPath::Avx512, &pack_f32_avx512, &packed_f32_bytes_avx512, &gemm_f32_avx512,
                 &linear_f32_avx512, &relu_f32_avx512});
#endif
#if defined(__aarch64__)
    p.push_back({KernelPath::Neon, &pack_f32_neon, &packed_f32_bytes_neon, &gemm_f32_neon,
                 &linear_f32_neon, &relu_f32_neon});
#endif
    return p;
}

float ref_relu(float s) { return s > 0.0f ? s : 0.0f; }

std::vector<float> ref_gemm(const std::vector<float>& a, const std::vector<float>& w,
                            const float* bias, bool relu, int m, int k, int n) {
    std::vector<float> y(size_t(m) * n);
    for (int r = 0; r < m; ++r)
        for (int c = 0; c < n; ++c) {
            float s = 0.0f;
            for (int i = 0; i < k; ++i)
                s = std::fmaf(a[size_t(r) * k + i], w[size_t(c) * k + i], s);
            if (bias) s += bias[c];
            y[size_t(r) * n + c] = relu ? ref_relu(s) : s;
        }
    return y;
}

std::vector<float> random_floats(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
}

// Index of the first element whose bits differ, or -1.
long first_mismatch(const float* got, const std::vector<float>& want) {
    for (size_t i = 0; i < want.size(); ++i)
        if (std::memcmp(&got[i], &want[i], sizeof(float)) != 0) return long(i);
    return -1;
}

struct Problem {
    int m, k, n;
    bool use_bias, relu;
    std::vector<float> a, w, bias, want;
    Problem(int m_, int k_, int n_, bool b, bool r, uint32_t seed)
        : m(m_), k(k_), n(n_), use_bias(b), relu(r), a(random_floats(size_t(m_) * k_, seed)),
          w(random_floats(size_t(n_) * k_, seed + 1)), bias(random_floats(size_t(n_), seed + 2)),
          want(ref_gemm(a, w, b ? bias.data() : nullptr, r, m_, k_, n_)) {}
    const float* bias_ptr() const { return use_bias ? bias.data() : nullptr; }
};

// Output buffer prefilled with NaN plus a guard tail that must stay intact.
constexpr int kGuard = 17;
std::vector<float> fresh_output(const Problem& p) {
    return std::vector<float>(size_t(p.m) * p.n + kGuard, std::numeric_limits<float>::quiet_NaN());
}
bool guard_intact(const std::vector<float>& y, const Problem& p) {
    for (size_t i = size_t(p.m) * p.n; i < y.size(); ++i)
        if (!std::isnan(y[i])) return false;
    return true;
}

struct ThreadCount {
    int saved = omp_get_max_threads();
    explicit ThreadCount(int t) { omp_set_num_threads(t); }
    ~ThreadCount() { omp_set_num_threads(saved); }
};

class GemmF32Path : public ::testing::TestWithParam<PathFns> {
protected:
    void SetUp() override {
        if (!kernel_path_supported(GetParam().id)) GTEST_SKIP() << "path not supported here";
    }
};

TEST_P(GemmF32Path, EveryTileEdgeMatchesReference) {
    const PathFns& f = GetParam();
    ThreadCount one(1);
    for (int m = 1; m <= 17; ++m)
        for (int n = 1; n <= 37; ++n)
            for (int k : {0, 1, 2, 3, 4, 5, 7, 8, 9}) {
                const int combo = (m + n + k) % 4;
                Problem p(m, k, n, combo & 1, combo & 2, uint32_t(m * 1000 + n * 10 + k));
                float* bp = f.pack(p.w.data(), n, k);
                std::vector<float> y = fresh_output(p);
                f.gemm(p.a.data(), bp, p.bias_ptr(), y.data(), p.relu, m, k, n, false);
                free_packed_f32(bp);
                ASSERT_EQ(first_mismatch(y.data(), p.want), -1) << m << "x" << k << "x" << n;
                ASSERT_TRUE(guard_intact(y, p)) << m << "x" << k << "x" << n;
            }
}

// Every way the engine can be entered: serial or in a team of its own,
// nested in a caller's region (serial there), or sharing the work of a
// caller's team through in_team. The split must not change any bit.
enum class Mode { OneThread, TwoThreads, InsideRegion, Team2, Team3, Team4, InTeamAlone };

void run_mode(const PathFns& f, const Problem& p, const float* bp, Mode mode, float* y) {
    auto call = [&](float* out, bool in_team) {
        f.gemm(p.a.data(), bp, p.bias_ptr(), out, p.relu, p.m, p.k, p.n, in_team);
    };
    switch (mode) {
        case Mode::OneThread: { ThreadCount t(1); call(y, false); break; }
        case Mode::TwoThreads: { ThreadCount t(2); call(y, false); break; }
        case Mode::InTeamAlone: call(y, true); break;
        case Mode::InsideRegion: {
            // Each thread runs its own product; thread 1 checks its copy.
            std::vector<float> other(size_t(p.m) * p.n);
            bool other_ok = true;
#pragma omp parallel num_threads(2)
            {
                if (omp_get_thread_num() == 0) call(y, false);
                else {
                    call(other.data(), false);
                    other_ok = first_mismatch(other.data(), p.want) == -1;
                }
            }
            EXPECT_TRUE(other_ok);
            break;
        }
        case Mode::Team2:
        case Mode::Team3:
        case Mode::Team4: {
            int t = mode == Mode::Team2 ? 2 : mode == Mode::Team3 ? 3 : 4;
#pragma omp parallel num_threads(t)
            call(y, true);
            break;
        }
    }
}

TEST_P(GemmF32Path, ThreadingAndSplitsMatchReference) {
    const PathFns& f = GetParam();
    struct Case { int m, k, n; bool bias, relu; std::vector<Mode> modes; };
    const std::vector<Mode> every = {Mode::OneThread, Mode::TwoThreads, Mode::InsideRegion,
                                     Mode::Team2, Mode::Team3, Mode::Team4, Mode::InTeamAlone};
    const std::vector<Case> cases = {
        {37, 50, 70, true, true, every},     // M < N: column split
        {70, 50, 37, true, false, every},    // M >= N: row split, remainder rows to thread 0
        {9, 13, 40, false, true, every},
        {1, 5, 3, true, false, every},       // one panel; with 4 threads only thread 3 works
        {50, 9, 50, false, false, every},
        {14, 20, 300, true, false, every},   // wide tiles of the short remainder rows
        {30, 7, 260, false, true, every},
        // Around the 2,000,000 multiply-add threshold: serial below, a team
        // of 2 at it; the bits are the same either way.
        {71, 1657, 17, true, false, {Mode::OneThread, Mode::TwoThreads}},   // 1,999,999
        {100, 200, 100, false, true, {Mode::OneThread, Mode::TwoThreads}},  // 2,000,000
        {1, 1000, 2000, true, true, {Mode::OneThread, Mode::TwoThreads}},   // 2,000,000
    };
    for (const Case& c : cases) {
        Problem p(c.m, c.k, c.n, c.bias, c.relu, uint32_t(c.m + c.k + c.n));
        float* bp = f.pack(p.w.data(), c.n, c.k);
        for (Mode mode : c.modes) {
            std::vector<float> y = fresh_output(p);
            run_mode(f, p, bp, mode, y.data());
            EXPECT_EQ(first_mismatch(y.data(), p.want), -1)
                << c.m << "x" << c.k << "x" << c.n << " mode " << int(mode);
            EXPECT_TRUE(guard_intact(y, p));
        }
        free_packed_f32(bp);
    }
}

TEST_P(GemmF32Path, LinearWithAndWithoutPackedBlock) {
    const PathFns& f = GetParam();
    for (auto [k, n] : std::vector<std::pair<int, int>>{{1, 1}, {7, 10}, {33, 37}, {1000, 2000}})
        for (bool use_bias : {false, true}) {
            Problem p(1, k, n, use_bias, false, uint32_t(k * 3 + n));
            float* bp = f.pack(p.w.data(), n, k);
            const float* none = nullptr;
            for (const float* block : {static_cast<const float*>(bp), none}) {
                std::vector<float> y = fresh_output(p);
                f.linear(p.a.data(), p.w.data(), p.bias_ptr(), y.data(), k, n, block, nullptr);
                EXPECT_EQ(first_mismatch(y.data(), p.want), -1)
                    << k << "x" << n << (block ? " packed" : " unpacked");
                EXPECT_TRUE(guard_intact(y, p));
            }
            free_packed_f32(bp);
        }
}

TEST_P(GemmF32Path, ReluSendsNaNAndNegativeZeroToZero) {
    const PathFns& f = GetParam();
    const float special[] = {std::numeric_limits<float>::quiet_NaN(), -0.0f, 0.0f, -1.5f, 2.5f,
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::denorm_min(),
                             -std::numeric_limits<float>::denorm_min(),
                             -std::numeric_limits<float>::quiet_NaN()};
    for (int n = 0; n <= 40; ++n) {
        std::vector<float> x(size_t(n) + 3, 7.0f), want(size_t(n) + 3, 7.0f);
        for (int i = 0; i < n; ++i) {
            x[i] = special[(i * 7 + n) % 10];
            want[i] = ref_relu(x[i]);
        }
        f.relu(x.data(), n, nullptr);
        EXPECT_EQ(first_mismatch(x.data(), want), -1) << "n = " << n;
    }
}

std::string path_name(const ::testing::TestParamInfo<PathFns>& info) {
    return kernel_path_name(info.param.id);
}

INSTANTIATE_TEST_SUITE_P(AllPaths, GemmF32Path, ::testing::ValuesIn(all_paths()), path_name);

TEST(GemmF32, PortablePanelLayout) {
    const std::vector<std::pair<int, int>> shapes = {{10, 3}, {4, 1}, {1, 5},
                                                     {9, 6},  {3, 0}, {0, 4}};
    for (auto [n, k] : shapes) {
        std::vector<float> w = random_floats(size_t(n) * k, 5);
        const int panels = (n + 3) / 4;
        ASSERT_EQ(packed_f32_bytes_portable(n, k), uint64_t(panels) * k * 4 * sizeof(float));
        float* bp = pack_f32_portable(w.data(), n, k);
        ASSERT_NE(bp, nullptr);
        for (int p = 0; p < panels; ++p)
            for (int i = 0; i < k; ++i)
                for (int j = 0; j < 4; ++j) {
                    const int col = 4 * p + j;
                    EXPECT_EQ(bp[(p * k + i) * 4 + j], col < n ? w[size_t(col) * k + i] : 0.0f)
                        << n << "x" << k << " p" << p << " k" << i << " j" << j;
                }
        free_packed_f32(bp);
    }
    free_packed_f32(nullptr);
}

// Filled for a path, the CPU table holds that path's variants and
// pack_f32 / packed_f32_bytes / gemm_f32 follow it together.
TEST(GemmF32, EntriesFollowTheFilledPath) {
    const Backend& b = cpu_backend();
    Problem p(13, 11, 21, true, true, 99);
    for (const PathFns& f : all_paths()) {
        if (!kernel_path_supported(f.id)) continue;
        vantrel_test::ScopedKernelPath on(f.id);
        EXPECT_EQ(b.k_pack_f32, f.pack);
        EXPECT_EQ(b.k_gemm_f32, f.gemm);
        EXPECT_EQ(b.k_linear_f32, f.linear);
        EXPECT_EQ(b.k_relu_f32, f.relu);
        EXPECT_EQ(packed_f32_bytes(21, 11), f.bytes(21, 11));
        float* bp = pack_f32(p.w.data(), p.n, p.k);
        std::vector<float> y = fresh_output(p);
        gemm_f32(p.a.data(), bp, p.bias_ptr(), y.data(), true, p.m, p.k, p.n, false);
        EXPECT_EQ(first_mismatch(y.data(), p.want), -1) << kernel_path_name(f.id);
        std::vector<float> plain(size_t(p.m) * p.n);
        gemm_f32_plain(p.a.data(), bp, plain.data(), p.m, p.k, p.n);
        EXPECT_EQ(first_mismatch(plain.data(), ref_gemm(p.a, p.w, nullptr, false, p.m, p.k, p.n)),
                  -1);
        free_packed_f32(bp);
    }
}

}  // namespace
