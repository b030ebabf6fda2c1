// Layer and RMS normalisation, embedding gather and row-vector add kernels:
// the portable kernels against scalar references written here from the
// stated arithmetic (four-lane sums, pairwise lane add, which steps fuse),
// every vector path bit-identical to the portable one, and thread counts
// 1/2/3 identical. The layer tests compare with double precision.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kernel_test_paths.h"
#include "kernels/elementwise/add_row_vector_f32.h"
#include "kernels/elementwise/embedding_f32.h"
#include "kernels/norm/layer_norm_f32.h"
#include "kernels/norm/rms_norm_f32.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

using LnFn = void (*)(const float*, const float*, const float*, float*, int32_t, int32_t, void*, float);
using RmsFn = void (*)(const float*, const float*, float*, int32_t, int32_t, void*, float);
using EmbFn = void (*)(const float*, const float*, float*, int32_t, int32_t, int32_t);
using RowVecFn = void (*)(float*, const float*, int32_t, int32_t);

// Four lane accumulators over j, j+4, ...; (l0 + l1) + (l2 + l3); then the
// tail one by one. f maps an element to the summed term.
template <class F>
float ref_lane_sum(const float* x, int c, F f) {
    float l[4] = {0, 0, 0, 0};
    int j = 0;
    for (; j + 4 <= c; j += 4)
        for (int k = 0; k < 4; ++k) l[k] += f(x[j + k]);
    float s = (l[0] + l[1]) + (l[2] + l[3]);
    for (; j < c; ++j) s += f(x[j]);
    return s;
}

std::vector<float> ref_layer_norm(const std::vector<float>& x, const std::vector<float>& g,
                                  const std::vector<float>& b, int rows, int c, float eps) {
    std::vector<float> y(x.size());
    const float inv = 1.0f / float(c);
    for (int r = 0; r < rows; ++r) {
        const float* xr = x.data() + size_t(r) * c;
        const float mean = ref_lane_sum(xr, c, [](float v) { return v; }) * inv;
        const float sq = ref_lane_sum(xr, c, [mean](float v) { float d = v - mean; return d * d; });
        const float rstd = 1.0f / std::sqrt(std::fmaf(sq, inv, eps));
        for (int j = 0; j < c; ++j) y[size_t(r) * c + j] = std::fmaf(rstd * g[j], xr[j] - mean, b[j]);
    }
    return y;
}

std::vector<float> ref_rms_norm(const std::vector<float>& x, const std::vector<float>& g, int rows, int c,
                                float eps) {
    std::vector<float> y(x.size());
    const float inv = 1.0f / float(c);
    for (int r = 0; r < rows; ++r) {
        const float* xr = x.data() + size_t(r) * c;
        const float sq = ref_lane_sum(xr, c, [](float v) { return v * v; });
        const float rs = 1.0f / std::sqrt(sq * inv + eps);
        for (int j = 0; j < c; ++j) y[size_t(r) * c + j] = (xr[j] * g[j]) * rs;
    }
    return y;
}

std::vector<float> random_vec(size_t n, uint32_t seed, float offset = 0.0f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> d(0.0f, 3.0f);
    std::vector<float> v(n);
    for (float& e : v) e = d(rng) + offset;
    return v;
}

void expect_same(const std::vector<float>& a, const std::vector<float>& b, const std::string& what) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_TRUE(same_float(a[i], b[i])) << what << " at " << i << ": " << a[i] << " vs " << b[i];
}

struct ThreadCount {
    explicit ThreadCount(int n) : saved(omp_get_max_threads()) { omp_set_num_threads(n); }
    ~ThreadCount() { omp_set_num_threads(saved); }
    int saved;
};

struct NormCase {
    int rows, c;
};

class NormKernels : public ::testing::TestWithParam<NormCase> {};

// Rows offset from zero make the mean matter; eps 1e-5 as in real models.
TEST_P(NormKernels, MatchReferenceOnEveryPathAndThreadCount) {
    const auto [rows, c] = GetParam();
    const auto x = random_vec(size_t(rows) * c, 7 * c + rows, 40.0f);
    const auto g = random_vec(c, 11 + c), b = random_vec(c, 13 + c);
    const auto want_ln = ref_layer_norm(x, g, b, rows, c, 1e-5f);
    const auto want_rms = ref_rms_norm(x, g, rows, c, 1e-5f);
    auto ln_paths = runnable_paths(VANTREL_KERNEL_VARIANTS(LnFn, k_layer_norm_f32));
    auto rms_paths = runnable_paths(VANTREL_KERNEL_VARIANTS(RmsFn, k_rms_norm_f32));
    for (int threads : {1, 2, 3}) {
        ThreadCount tc(threads);
        for (auto& [name, fn] : ln_paths) {
            std::vector<float> y(x.size(), -7.0f);
            fn(x.data(), g.data(), b.data(), y.data(), rows, c, nullptr, 1e-5f);
            expect_same(y, want_ln, "layer norm " + name + " threads " + std::to_string(threads));
            // In place gives the same bits.
            std::vector<float> z = x;
            fn(z.data(), g.data(), b.data(), z.data(), rows, c, nullptr, 1e-5f);
            expect_same(z, want_ln, "in-place layer norm " + name);
            // Null vectors read as ones and zeros.
            fn(x.data(), nullptr, nullptr, y.data(), rows, c, nullptr, 1e-5f);
            expect_same(y, ref_layer_norm(x, std::vector<float>(c, 1.0f), std::vector<float>(c, 0.0f), rows, c, 1e-5f),
                        "layer norm without vectors " + name);
        }
        for (auto& [name, fn] : rms_paths) {
            std::vector<float> y(x.size(), -7.0f);
            fn(x.data(), g.data(), y.data(), rows, c, nullptr, 1e-5f);
            expect_same(y, want_rms, "rms norm " + name + " threads " + std::to_string(threads));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, NormKernels,
                         ::testing::Values(NormCase{1, 1}, NormCase{3, 3}, NormCase{2, 4}, NormCase{5, 5},
                                           NormCase{9, 7}, NormCase{4, 8}, NormCase{6, 15},
                                           NormCase{7, 16}, NormCase{5, 17}, NormCase{3, 33},
                                           NormCase{13, 64}, NormCase{11, 768}));

// The four-lane grouping is visible: lane 0 cancels 1e8 against -1e8 while
// the other lanes keep their ones, so the sum is 6 where a sequential sum
// gives 3. With c = 8 the mean is 0.75.
TEST(NormKernelOrder, LaneGroupingDecidesTheMean) {
    const std::vector<float> x = {1e8f, 1, 1, 1, -1e8f, 1, 1, 1}, g(8, 1.0f), b(8, 0.0f);
    for (auto& [name, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(LnFn, k_layer_norm_f32))) {
        std::vector<float> y(8);
        fn(x.data(), g.data(), b.data(), y.data(), 1, 8, nullptr, 0.0f);
        // By hand: lane 0 holds both squared deviations, lanes 1-3 two 0.0625 each.
        const float d0 = 1e8f - 0.75f, d4 = -1e8f - 0.75f;
        const float sq = ((d0 * d0 + d4 * d4) + 0.125f) + (0.125f + 0.125f);
        const float rstd = 1.0f / std::sqrt(std::fmaf(sq, 0.125f, 0.0f));
        for (int j : {1, 2, 3, 5, 6, 7}) EXPECT_EQ(y[j], std::fmaf(rstd, 0.25f, 0.0f)) << name;
        EXPECT_EQ(y[0], std::fmaf(rstd, d0, 0.0f)) << name;
        EXPECT_EQ(y[4], std::fmaf(rstd, d4, 0.0f)) << name;
    }
}

struct EdgeCase {
    const char* what;
    std::vector<float> x;
    int c;
    float eps;
};

class NormEdges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(NormEdges, ConstantRowsZeroEpsAndSingleFeature) {
    const EdgeCase& e = GetParam();
    const int rows = int(e.x.size()) / e.c;
    std::vector<float> g(e.c), b(e.c);
    for (int j = 0; j < e.c; ++j) g[j] = 0.5f + j, b[j] = -1.0f + 0.25f * j;
    for (auto& [name, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(LnFn, k_layer_norm_f32))) {
        std::vector<float> y(e.x.size());
        fn(e.x.data(), g.data(), b.data(), y.data(), rows, e.c, nullptr, e.eps);
        for (size_t i = 0; i < y.size(); ++i) {
            if (e.eps == 0.0f) {
                EXPECT_TRUE(std::isnan(y[i])) << e.what << name;
            } else {
                EXPECT_EQ(y[i], b[i % e.c]) << e.what << " " << name << " " << i;
            }
        }
    }
    for (auto& [name, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(RmsFn, k_rms_norm_f32))) {
        std::vector<float> y(e.x.size());
        fn(e.x.data(), g.data(), y.data(), rows, e.c, nullptr, e.eps);
        for (size_t i = 0; i < y.size(); ++i) {
            if (e.eps == 0.0f) {
                EXPECT_TRUE(std::isnan(y[i])) << e.what << name;
            } else if (e.c == 1) {
                EXPECT_EQ(y[i], (e.x[i] * g[0]) * (1.0f / std::sqrt(e.x[i] * e.x[i] + e.eps))) << e.what << name;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, NormEdges,
                         ::testing::Values(EdgeCase{"constant rows", std::vector<float>(2 * 16, 3.25f), 16, 1e-6f},
                                           EdgeCase{"zeros, eps 0", std::vector<float>(2 * 9, 0.0f), 9, 0.0f},
                                           EdgeCase{"c = 1", {2.0f, -3.0f, 0.5f, 7.0f}, 1, 1e-6f}));

TEST(EmbeddingKernel, TruncatesAndClampsIdsOnEveryPath) {
    const int vocab = 10;
    for (int dim : {1, 3, 8, 17, 35}) {
        std::vector<float> table(size_t(vocab) * dim);
        for (size_t i = 0; i < table.size(); ++i) table[i] = float(i) * 0.5f - 3.0f;
        const float inf = std::numeric_limits<float>::infinity();
        const std::vector<float> ids = {-3.0f, 2.9f, 1e9f, 9.99f, -0.5f, 0.0f, 5.0f, inf, -inf, 3e38f,
                                        std::nanf("")};
        const std::vector<int> rows = {0, 2, 9, 9, 0, 0, 5, 9, 0, 9, 0};
        for (auto& [name, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(EmbFn, k_embedding_f32))) {
            std::vector<float> out(ids.size() * dim, -1.0f);
            fn(ids.data(), table.data(), out.data(), int32_t(ids.size()), vocab, dim);
            for (size_t t = 0; t < ids.size(); ++t)
                for (int j = 0; j < dim; ++j)
                    ASSERT_EQ(out[t * dim + j], table[size_t(rows[t]) * dim + j]) << name << " id " << ids[t];
        }
    }
}

TEST(AddRowVectorKernel, AddsTheVectorToEveryRowOnEveryPath) {
    for (auto [rows, n] : {std::pair{1, 1}, {3, 7}, {4, 16}, {5, 33}, {2, 100}}) {
        const auto x = random_vec(size_t(rows) * n, rows * 31 + n), v = random_vec(n, n);
        for (auto& [name, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(RowVecFn, k_add_row_vector_f32))) {
            std::vector<float> y = x;
            fn(y.data(), v.data(), rows, n);
            for (int r = 0; r < rows; ++r)
                for (int j = 0; j < n; ++j)
                    ASSERT_EQ(y[size_t(r) * n + j], x[size_t(r) * n + j] + v[j]) << name;
        }
    }
}

}  // namespace
