// Int8 GEMM engine: every kernel path against an int64 scalar reference,
// exactly, for the three epilogues, both orientations and several team sizes.
#include <gtest/gtest.h>
#include <omp.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/backend.h"
#include "engine/cpu_backend/cpu_backend.h"
#include "kernels/elementwise/activation.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernel_test_paths.h"
#include "kernels/kernel_path.h"
#include "kernels/quantize.h"

using namespace vantrel;

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

    Problem(int m_, int k_, int n_, uint32_t seed) : m(m_), k(k_), n(n_) {
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
            const bool odd = c % 4 == 3;
            const int64_t wide = c % 8 == 7 ? int64_t(INT32_MIN) : pick(INT64_MIN / 2, INT64_MAX / 2);
            bias.push_back(odd ? wide : pick(-100000, 100000));
            mult.push_back(c % 8 == 7 ? INT32_MIN
                           : odd  ? odd_mult[pick(0, 4)]
                                  : int32_t(pick(1 << 30, INT32_MAX)));
            shift.push_back(odd ? odd_shift[pick(0, 7)] : int32_t(pick(-14, -6)));
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

class GemmS8Path : public ::testing::TestWithParam<PathFns> {
protected:
    void SetUp() override {
        if (!kernel_path_supported(GetParam().id)) GTEST_SKIP() << "path not supported here";
    }
};

TEST_P(GemmS8Path, BlockEdgesBothEpiloguesAndOrientations) {
    const PathFns& f = GetParam();
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    for (int m : {1, 7, 8, 9, 17})
        for (int k : {1, 3, 4, 5, 63})
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
                          Case{13, 4099, 70, two}}) {                       // column blocks
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
}

// The CPU table holds the variants of the path it was filled for.
TEST(GemmS8, TableHoldsThePathsVariants) {
    const Backend& b = cpu_backend();
    EXPECT_EQ(b.k_pack_s8, &pack_s8);
    EXPECT_EQ(b.k_free_packed_s8, &free_packed_s8);
    EXPECT_EQ(b.k_seq_gemm_s8, &seq_gemm_s8);
    for (const PathFns& f : all_paths()) {
        if (!kernel_path_supported(f.id)) continue;
        vantrel_test::ScopedKernelPath on(f.id);
        EXPECT_EQ(b.k_gemm_s8_requant, f.requant);
        EXPECT_EQ(b.k_gemm_s8_s32, f.s32);
    }
}

}  // namespace
