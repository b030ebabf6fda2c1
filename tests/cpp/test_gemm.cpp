// Float and int8 GEMM kernels on every path against references written
// here (tile and block edges, thread counts, cache blocks, packed layouts,
// the dynamic-quantisation order), and the quantise-and-restore helper.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/backend.h"
#include "engine/cpu_backend/cpu_backend.h"
#include "kernels/elementwise/activation.h"
#include "kernels/gemm/fake_quantize_u8.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernel_test_paths.h"
#include "kernels/kernel_path.h"
#include "kernels/quantize.h"

using namespace vantrel;

namespace {

// Skips the kernel paths this CPU cannot run.
template <class Fns>
class SupportedPath : public ::testing::TestWithParam<Fns> {
protected:
    void SetUp() override {
        if (!kernel_path_supported(this->GetParam().id)) GTEST_SKIP() << "path not supported here";
    }
};

}  // namespace


namespace test_gemm {

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

class GemmF32Path : public SupportedPath<PathFns> {};

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
        {70, 50, 37, true, false, every},    // M >= N: row split, a short last strip
        {9, 13, 40, false, true, every},
        {1, 5, 3, true, false, every},       // one panel; with 4 threads only thread 3 works
        {50, 9, 50, false, false, every},
        {14, 20, 300, true, false, every},   // wide tiles of the short remainder rows
        {30, 7, 260, false, true, every},
        // Around the 2,000,000 multiply-add and 512 KiB weight thresholds:
        // serial below, a team of 2 at them; the bits are the same either way.
        {71, 1657, 17, true, false, {Mode::OneThread, Mode::TwoThreads}},   // 1,999,999
        {100, 200, 100, false, true, {Mode::OneThread, Mode::TwoThreads}},  // 2,000,000
        {1, 1000, 2000, true, true, {Mode::OneThread, Mode::TwoThreads}},   // 2,000,000
        {1, 576, 227, true, false, {Mode::OneThread, Mode::TwoThreads}},    // W just below 512 KiB
        {1, 576, 228, false, true, {Mode::OneThread, Mode::TwoThreads}},    // W of 513 KiB: a team
        {49, 3100, 40, true, true, {Mode::OneThread, Mode::TwoThreads}},  // panels past the block size
        {98, 160, 200, true, true, {Mode::OneThread, Mode::TwoThreads}},   // M < N, rows split evenly
        {30, 300, 260, false, true, {Mode::OneThread, Mode::TwoThreads}},  // M < N, a panel range each
        // Rows 4 KiB apart, which the AVX-512 path copies to a wider stride.
        {27, 1024, 70, true, true, every},
        {40, 2048, 20, false, false, {Mode::OneThread, Mode::TwoThreads, Mode::Team3}},
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

// Filled for a path, pack_f32 / packed_f32_bytes / gemm_f32 follow it together.
TEST(GemmF32, EntriesFollowTheFilledPath) {
    Problem p(13, 11, 21, true, true, 99);
    for (const PathFns& f : all_paths()) {
        if (!kernel_path_supported(f.id)) continue;
        vantrel_test::ScopedKernelPath on(f.id);
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

}  // namespace test_gemm

namespace test_gemm_s8 {

namespace {

struct PathFns {
    KernelPath id;
    KGemmS8Requant requant;
    KGemmS8S32 s32;
};

std::vector<PathFns> all_paths() {
    std::vector<PathFns> p = {
        {KernelPath::Portable, &gemm_s8_requant_portable, &gemm_s8_s32_portable}};
#if defined(__x86_64__)
    p.push_back({KernelPath::Avx2, &gemm_s8_requant_avx2, &gemm_s8_s32_avx2});
    p.push_back({KernelPath::Avx512, &gemm_s8_requant_avx512, &gemm_s8_s32_avx512});
#endif
#if defined(__aarch64__)
    p.push_back({KernelPath::Neon, &gemm_s8_requant_neon, &gemm_s8_s32_neon});
#endif
    return p;
}

void PrintTo(const PathFns& p, std::ostream* os) { *os << kernel_path_name(p.id); }

struct Problem {
    int m, k, n;
    std::vector<int8_t> a, w;
    std::vector<int64_t> bias;
    std::vector<int32_t> mult, shift;
    std::vector<float> scale;
    int8_t zp;
    std::vector<int32_t> acc;  // reference sums, wrapped to 32 bits

    // tame: no extreme channels, so that vector epilogues may take their
    // path for ordinary scales (below 1, no INT32_MIN multiplier), over
    // every right shift it covers and sums across the whole 32-bit range.
    Problem(int m_, int k_, int n_, uint32_t seed, bool tame = false) : m(m_), k(k_), n(n_) {
        std::mt19937 rng(seed);
        auto pick = [&](int64_t lo, int64_t hi) {
            return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
        };
        // Every fifth row is zero, so that x = acc + bias reaches INT32_MIN.
        for (int i = 0; i < m * k; ++i) a.push_back(i / k % 5 == 4 ? 0 : int8_t(pick(-128, 127)));
        for (int i = 0; i < n * k; ++i) w.push_back(int8_t(pick(-128, 127)));
        // Every fourth channel takes extreme parameters (saturation, shifts
        // past 31, the INT32_MIN doubling overflow, bias beyond 32 bits).
        const int32_t odd_mult[] = {INT32_MIN, INT32_MAX, 0, 1 << 30, -(1 << 30)};
        const int32_t odd_shift[] = {-40, -32, -31, 31, 32, 40, 0, 1};
        for (int c = 0; c < n; ++c) {
            const bool odd = !tame && c % 4 == 3;
            const int64_t wide = c % 8 == 7 ? int64_t(INT32_MIN) : pick(INT64_MIN / 2, INT64_MAX / 2);
            bias.push_back(odd ? wide : tame ? pick(INT32_MIN, INT32_MAX) : pick(-100000, 100000));
            mult.push_back(odd && c % 8 == 7 ? INT32_MIN
                           : odd  ? odd_mult[pick(0, 4)]
                                  : int32_t(pick(1 << 30, INT32_MAX)));
            shift.push_back(odd ? odd_shift[pick(0, 7)] : int32_t(tame ? pick(-32, -1) : pick(-14, -6)));
            scale.push_back(float(pick(1, 1000)) * 1e-4f);
        }
        zp = int8_t(pick(-20, 20));
        acc.resize(size_t(m) * n);
        for (int r = 0; r < m; ++r)
            for (int c = 0; c < n; ++c) {
                int64_t s = 0;
                for (int i = 0; i < k; ++i)
                    s += int64_t(a[size_t(r) * k + i]) * w[size_t(c) * k + i];
                acc[size_t(r) * n + c] = int32_t(uint32_t(uint64_t(s)));
            }
    }
    size_t at(int r, int c, bool tr) const { return tr ? size_t(c) * m + r : size_t(r) * n + c; }
};

enum class Kind { S8, F32, S32 };
constexpr int kGuard = 9;

// Runs one product on `f` and compares every output and a guard tail.
void check(const PathFns& f, const Problem& p, const int8_t* bp, Kind kind, bool tr, int team,
           const char* what) {
    const size_t cnt = size_t(p.m) * p.n;
    std::vector<int32_t> out(cnt + kGuard, 0x5A5A5A5A);
    auto run = [&](bool in_team) {
        if (kind == Kind::S32) f.s32(p.a.data(), bp, out.data(), p.m, p.k, p.n, nullptr);
        else
            f.requant(p.a.data(), bp, p.bias.data(), p.mult.data(), p.shift.data(), p.scale.data(),
                      p.zp, out.data(), kind == Kind::F32, p.m, p.k, p.n, tr, in_team, nullptr,
                      nullptr);
    };
    if (team > 0) {
#pragma omp parallel num_threads(team)
        run(true);
    } else {
        run(false);
    }
    const int8_t* o8 = reinterpret_cast<const int8_t*>(out.data());
    const float* of = reinterpret_cast<const float*>(out.data());
    for (int r = 0; r < p.m; ++r)
        for (int c = 0; c < p.n; ++c) {
            const int32_t acc = p.acc[size_t(r) * p.n + c];
            const int32_t b32 = int32_t(uint32_t(uint64_t(p.bias[c])));
            const size_t i = p.at(r, c, tr && kind != Kind::S32);
            bool ok;
            if (kind == Kind::S8) ok = o8[i] == requantize(acc, b32, p.mult[c], p.shift[c], p.zp);
            else if (kind == Kind::F32) {
                const float want = dequantize_epilogue(acc, b32, p.scale[c]);
                ok = std::memcmp(&of[i], &want, 4) == 0;
            } else ok = out[i] == acc;
            ASSERT_TRUE(ok) << what << " " << p.m << "x" << p.k << "x" << p.n << " kind "
                            << int(kind) << " tr " << tr << " team " << team << " at (" << r << ","
                            << c << ")";
        }
    const size_t bytes = kind == Kind::S8 ? cnt : cnt * 4;
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(out.data());
    for (size_t i = bytes; i < (cnt + kGuard) * 4; ++i)
        ASSERT_EQ(raw[i], 0x5A) << what << " guard";
}

class GemmS8Path : public SupportedPath<PathFns> {};

TEST_P(GemmS8Path, BlockEdgesBothEpiloguesAndOrientations) {
    const PathFns& f = GetParam();
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    for (int m : {1, 7, 8, 9, 17})
        for (int k : {1, 3, 4, 5, 16, 63})  // 16: rows end to end in the A copy
            for (int n : {1, 4, 8, 12, 1000}) {
                Problem p(m, k, n, uint32_t(m * 10007 + k * 101 + n));
                int8_t* bp = pack_s8(p.w.data(), n, k);
                for (Kind kind : {Kind::S8, Kind::F32, Kind::S32})
                    for (bool tr : {false, true}) {
                        if (kind == Kind::S32 && tr) continue;
                        check(f, p, bp, kind, tr, 0, "edges");
                        if (HasFatalFailure()) break;
                    }
                free_packed_s8(bp);
                if (HasFatalFailure()) { omp_set_num_threads(saved); return; }
            }
    omp_set_num_threads(saved);
}

// Team sizes 1..3 through the engine's own region, a caller's team sharing
// one product (in_team), and shapes large enough for several column blocks
// and row stripes of the vector paths.
TEST_P(GemmS8Path, ThreadCountsAndCacheBlocks) {
    const PathFns& f = GetParam();
    const int saved = omp_get_max_threads();
    struct Case { int m, k, n; std::vector<int> threads; };
    const std::vector<int> all = {1, 2, 3}, two = {2};
    for (const Case& c : {Case{37, 50, 70, all}, Case{70, 50, 37, all}, Case{1, 5, 3, all},
                          Case{49, 300, 20, all}, Case{264, 1000, 24, two},  // two row stripes
                          Case{13, 4099, 70, two},                          // column blocks
                          Case{70, 32, 37, all}, Case{16400, 16, 12, two}}) {  // A copied whole, two stripes
        Problem p(c.m, c.k, c.n, uint32_t(c.m + c.k + c.n));
        int8_t* bp = pack_s8(p.w.data(), c.n, c.k);
        for (int threads : c.threads) {
            omp_set_num_threads(threads);
            for (Kind kind : {Kind::S8, Kind::F32}) {
                check(f, p, bp, kind, threads == 2, 0, "threads");
                check(f, p, bp, kind, threads != 2, threads + 1, "team");
            }
            check(f, p, bp, Kind::S32, false, 0, "s32");
        }
        free_packed_s8(bp);
    }
    omp_set_num_threads(saved);
}

// Ordinary scales only (every channel below 1), where a vector epilogue may
// skip its overflow and left-shift steps: partial and whole column pairs.
TEST_P(GemmS8Path, OrdinaryScales) {
    const PathFns& f = GetParam();
    for (int n : {8, 16, 23, 40})
        for (bool tr : {false, true}) {
            Problem p(13, 37, n, uint32_t(n), true);
            int8_t* bp = pack_s8(p.w.data(), n, p.k);
            check(f, p, bp, Kind::S8, tr, 0, "ordinary");
            free_packed_s8(bp);
        }
    // Every right shift 1..32 with outputs inside int8, so that both
    // roundings show: K = 1 and unit weights make each sum a plain A byte.
    Problem p(300, 1, 64, 5, true);
    std::mt19937 rng(9);
    for (int c = 0; c < p.n; ++c) {
        const int s = 1 + c % 32;
        p.w[size_t(c)] = 1;
        p.shift[size_t(c)] = -s;
        p.mult[size_t(c)] = int32_t((1u << 30) + rng() % (1u << 30));
        p.bias[size_t(c)] = int64_t(rng() % (200u << std::min(s, 22))) - (int64_t(100) << std::min(s, 22));
        for (int r = 0; r < p.m; ++r) p.acc[size_t(r) * p.n + size_t(c)] = p.a[size_t(r)];
    }
    int8_t* bp = pack_s8(p.w.data(), p.n, p.k);
    check(f, p, bp, Kind::S8, false, 0, "every shift");
    free_packed_s8(bp);
    // Shifts of 1 to 16 on every channel, where a vector epilogue may fold
    // the bias into its rounding; a run of channels with biases near either
    // end of int32 (so that acc + bias wraps for some rows) must not take
    // that fold. Every tile height and several panel widths.
    for (int m : {1, 5, 8, 9, 17, 40})
        for (int n : {16, 40, 64}) {
            Problem q(m, 37, n, uint32_t(m * 31 + n), true);
            for (int c = 0; c < n; ++c) {
                q.shift[size_t(c)] = -1 - c % 16;
                if (c >= 24 && c < 32) q.bias[size_t(c)] = c % 2 ? INT32_MAX - c : INT32_MIN + c;
            }
            int8_t* bq = pack_s8(q.w.data(), n, q.k);
            check(f, q, bq, Kind::S8, false, 0, "short shifts");
            free_packed_s8(bq);
        }
}

// Scales of 2^10, 2^20 and 2^30 (and between) shift left far past 32 bits:
// every output must be the 64-bit value t * 2^e + zp clamped to int8, so a
// sum of either sign saturates to its own end on every path.
TEST_P(GemmS8Path, LargeScalesSaturateWithTheirSign) {
    const PathFns& f = GetParam();
    const int m = 9, k = 5, n = 24;
    Problem p(m, k, n, 77);
    for (float scale : {0x1p10f, 0x1p20f, 0x1p30f, 1.37e6f}) {
        for (int c = 0; c < n; ++c) {
            const QuantMultiplier q = quantize_multiplier(scale);
            p.mult[size_t(c)] = q.multiplier;
            p.shift[size_t(c)] = q.shift;
            p.bias[size_t(c)] = c % 3 - 1;
        }
        for (int8_t zp : {int8_t(-7), int8_t(127)}) {
            int8_t* bp = pack_s8(p.w.data(), n, k);
            std::vector<int8_t> y(size_t(m) * n);
            f.requant(p.a.data(), bp, p.bias.data(), p.mult.data(), p.shift.data(), nullptr, zp, y.data(),
                      false, m, k, n, false, false, nullptr, nullptr);
            free_packed_s8(bp);
            for (int r = 0; r < m; ++r)
                for (int c = 0; c < n; ++c) {
                    const int64_t x = int64_t(p.acc[size_t(r) * n + c]) + p.bias[size_t(c)];
                    const int64_t t = (2 * x * p.mult[size_t(c)] + (int64_t(1) << 31)) >> 32;
                    const int64_t v = t * (int64_t(1) << p.shift[size_t(c)]) + zp;
                    ASSERT_EQ(y[size_t(r) * n + c], v < -128 ? -128 : v > 127 ? 127 : v)
                        << "scale " << scale << " zp " << int(zp) << " at (" << r << "," << c << ")";
                }
        }
    }
}

std::string path_name(const ::testing::TestParamInfo<PathFns>& info) {
    return kernel_path_name(info.param.id);
}

INSTANTIATE_TEST_SUITE_P(AllPaths, GemmS8Path, ::testing::ValuesIn(all_paths()), path_name);

TEST(GemmS8, PackedLayout) {
    for (auto [n, k] : std::vector<std::pair<int, int>>{{12, 5}, {8, 4}, {1, 1}, {3, 0}, {0, 3}}) {
        std::vector<int8_t> w(size_t(n) * k);
        for (size_t i = 0; i < w.size(); ++i) w[i] = int8_t(i * 37 + 1);
        const size_t groups = size_t((k + 3) / 4), bytes = size_t((n + 7) / 8) * groups * 32;
        ASSERT_EQ(packed_s8_bytes(n, k), n > 0 && k > 0 ? bytes : 0);
        int8_t* bp = pack_s8(w.data(), n, k);
        ASSERT_NE(bp, nullptr);
        for (size_t i = 0; i < packed_s8_bytes(n, k); ++i) {
            const size_t p = i / (groups * 32), g = i / 32 % groups, j = i % 32 / 4, b = i % 4;
            const size_t col = p * 8 + j, kk = g * 4 + b;
            EXPECT_EQ(bp[i], col < size_t(n) && kk < size_t(k) ? w[col * k + kk] : 0) << i;
        }
        free_packed_s8(bp);
    }
    EXPECT_EQ(packed_s8_bytes(INT32_MAX, INT32_MAX), size_t(268435456) * 536870912 * 32);
    free_packed_s8(nullptr);
}

// The dynamic GEMM on every path (through the entry point): codes and row
// scales from quantize_row_symmetric, then the fixed float order.
TEST(GemmS8, DynamicQuantisationExactOrder) {
    const int m = 6, k = 37, n = 21;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> d(-2.0f, 2.0f);
    std::vector<float> x(size_t(m) * k), ws(n), fb(n);
    for (float& v : x) v = d(rng);
    for (int i = 0; i < k; ++i) x[size_t(2) * k + i] = 0.0f;  // an all-zero row
    for (float& v : ws) v = d(rng) * 0.01f;
    for (float& v : fb) v = d(rng);
    std::vector<int8_t> w(size_t(n) * k);
    for (size_t i = 0; i < w.size(); ++i) w[i] = int8_t(rng());
    std::vector<int64_t> ib(n);
    for (int64_t& v : ib) v = int64_t(rng() % 20001) - 10000;
    int8_t* bp = pack_s8(w.data(), n, k);
    for (const PathFns& f : all_paths()) {
        if (!kernel_path_supported(f.id)) continue;
        vantrel_test::ScopedKernelPath on(f.id);
        for (bool with_fb : {false, true})
            for (bool own_scratch : {false, true}) {
                std::vector<int8_t> q(size_t(m) * k);
                std::vector<float> sb(n), y(size_t(m) * n);
                gemm_s8_dynamic(x.data(), bp, ws.data(), ib.data(), with_fb ? fb.data() : nullptr,
                                own_scratch ? nullptr : q.data(), own_scratch ? nullptr : sb.data(),
                                y.data(), m, k, n, nullptr);
                for (int r = 0; r < m; ++r) {
                    std::vector<int8_t> qr(k);
                    const float s = quantize_row_symmetric(&x[size_t(r) * k], qr.data(), k);
                    if (r == 2) {
                        ASSERT_EQ(s, 1e-8f);
                    }
                    for (int c = 0; c < n; ++c) {
                        int64_t acc = ib[c];
                        for (int i = 0; i < k; ++i) acc += int64_t(qr[i]) * w[size_t(c) * k + i];
                        float want = (float(acc) * ws[c]) * s;
                        if (with_fb) want = want + fb[c];
                        ASSERT_EQ(std::memcmp(&want, &y[size_t(r) * n + c], 4), 0)
                            << kernel_path_name(f.id) << " (" << r << "," << c << ")";
                    }
                }
            }
        // The table entry adds GELU in place on request (every path's GELU
        // rounds like the portable one).
        std::vector<float> y0(size_t(m) * n), y1(size_t(m) * n);
        gemm_s8_dynamic(x.data(), bp, ws.data(), ib.data(), fb.data(), nullptr, nullptr,
                        y0.data(), m, k, n, nullptr);
        seq_gemm_s8(x.data(), bp, ws.data(), ib.data(), fb.data(), nullptr, nullptr, y1.data(),
                    m, k, n, true, nullptr);
        k_gelu_f32(y0.data(), m * n, nullptr);
        ASSERT_EQ(std::memcmp(y0.data(), y1.data(), y0.size() * 4), 0) << kernel_path_name(f.id);
    }
    free_packed_s8(bp);
    // In place (y = x, K = N) on a product large enough for the team.
    const int mm = 40, kk = 96;
    std::vector<float> xs(size_t(mm) * kk), ww(kk);
    for (float& v : xs) v = d(rng);
    for (float& v : ww) v = d(rng) * 0.01f;
    std::vector<int8_t> wq(size_t(kk) * kk);
    for (int8_t& v : wq) v = int8_t(rng());
    int8_t* bq = pack_s8(wq.data(), kk, kk);
    std::vector<float> apart(xs.size()), inplace = xs;
    gemm_s8_dynamic(xs.data(), bq, ww.data(), nullptr, nullptr, nullptr, nullptr, apart.data(), mm, kk, kk, nullptr);
    gemm_s8_dynamic(inplace.data(), bq, ww.data(), nullptr, nullptr, nullptr, nullptr, inplace.data(), mm, kk, kk,
                    nullptr);
    EXPECT_EQ(std::memcmp(apart.data(), inplace.data(), apart.size() * 4), 0);
    free_packed_s8(bq);
}

}  // namespace

}  // namespace test_gemm_s8

namespace test_fake_quantize_u8 {

using vantrel::fake_quantize_u8;

TEST(FakeQuantizeU8, RangeIncludesZero) {
    const std::vector<std::vector<float>> rows = {
        {10.0f, 11.0f},           // all positive: must not collapse onto one code
        {-5.0f, -4.0f, -4.5f},    // all negative
        {-1.0f, 0.0f, 2.0f, 0.7f},
        {3.0f},
    };
    for (const auto& row : rows) {
        std::vector<float> x = row;
        fake_quantize_u8(x.data(), int64_t(x.size()));
        float mn = 0, mx = 0;
        for (float v : row) mn = std::fmin(mn, v), mx = std::fmax(mx, v);
        const double step = double(mx - mn) / 255.0;
        for (size_t i = 0; i < row.size(); ++i) {
            EXPECT_NEAR(x[i], row[i], 0.5 * step + 1e-6) << "value " << row[i];
            if (row[i] == 0.0f) {
                EXPECT_EQ(x[i], 0.0f);
            }
        }
    }
    std::vector<float> x = {10.0f, 11.0f};
    fake_quantize_u8(x.data(), 2);
    EXPECT_NE(x[0], x[1]);
}

TEST(FakeQuantizeU8, DegenerateRows) {
    std::vector<float> zeros(5, 0.0f);
    fake_quantize_u8(zeros.data(), 5);
    for (float v : zeros) EXPECT_EQ(v, 0.0f);
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> with_inf = {1.0f, inf, -2.0f};
    fake_quantize_u8(with_inf.data(), 3);
    EXPECT_EQ(with_inf[0], 1.0f);
    EXPECT_EQ(with_inf[2], -2.0f);
    fake_quantize_u8(nullptr, 0);
}

}  // namespace test_fake_quantize_u8
