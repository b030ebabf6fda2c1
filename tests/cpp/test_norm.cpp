// Layer, RMS and style-conditioned (AdaIN, AdaLayerNorm) normalisation: the
// kernels against scalar references written here from the stated arithmetic
// (four-lane sums, pairwise lane add, which steps fuse), every vector path and
// thread count bit for bit against the portable one, and the layers against a
// double-precision evaluation of the formulas.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernel_test_paths.h"
#include "kernels/norm/ada_in1d_f32.h"
#include "kernels/norm/ada_layer_norm_f32.h"
#include "kernels/norm/layer_norm_f32.h"
#include "kernels/norm/rms_norm_f32.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

using LnFn = void (*)(const float*, const float*, const float*, float*, int32_t, int32_t, void*, float);
using RmsFn = void (*)(const float*, const float*, float*, int32_t, int32_t, void*, float);

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

void expect_same(const std::vector<float>& a, const std::vector<float>& b, const std::string& what) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_TRUE(same_float(a[i], b[i])) << what << " at " << i << ": " << a[i] << " vs " << b[i];
}

struct NormCase {
    int rows, c;
};

class NormKernels : public ::testing::TestWithParam<NormCase> {};

// Rows offset from zero make the mean matter; eps 1e-5 as in real models.
TEST_P(NormKernels, MatchReferenceOnEveryPathAndThreadCount) {
    const auto [rows, c] = GetParam();
    const auto x = randn(size_t(rows) * c, 7 * c + rows, 3.0f, 40.0f);
    const auto g = randn(c, 11 + c, 3.0f), b = randn(c, 13 + c, 3.0f);
    const auto want_ln = ref_layer_norm(x, g, b, rows, c, 1e-5f);
    const auto want_rms = ref_rms_norm(x, g, rows, c, 1e-5f);
    auto ln_paths = runnable_paths(VANTREL_KERNEL_VARIANTS(LnFn, k_layer_norm_f32));
    auto rms_paths = runnable_paths(VANTREL_KERNEL_VARIANTS(RmsFn, k_rms_norm_f32));
    for (int threads : {1, 2, 3}) {
        Threads tc(threads);
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


using AdaInFn = void (*)(const float*, float*, const float*, const float*, int32_t, int32_t, void*,
                         const float*, float, const float*);
using AdaLnFn = void (*)(const float*, float*, const float*, const float*, int32_t, int32_t, void*, float);

// Instance norm over time (by_row false) or layer norm over channels, in
// double, with the optional norm affine.
std::vector<double> ref_norm(const std::vector<float>& x, int t, int c, const float* g, const float* b,
                             const float* nw, const float* nb, float eps, bool by_row) {
    std::vector<double> y(x.size());
    const int groups = by_row ? t : c, len = by_row ? c : t;
    for (int a = 0; a < groups; ++a) {
        auto at = [&](int i) { return by_row ? size_t(a) * c + i : size_t(i) * c + a; };
        double m = 0, v = 0;
        for (int i = 0; i < len; ++i) m += x[at(i)];
        m /= len;
        for (int i = 0; i < len; ++i) v += (x[at(i)] - m) * (x[at(i)] - m);
        const double rs = 1.0 / std::sqrt(eps + v / len);
        for (int i = 0; i < len; ++i) {
            const int ch = by_row ? i : a;
            double xh = (x[at(i)] - m) * rs;
            if (nw) xh = (nb ? nb[ch] : 0.0) + nw[ch] * xh;
            y[at(i)] = b[ch] + (1.0 + g[ch]) * xh;
        }
    }
    return y;
}

void expect_close(const std::vector<float>& y, const std::vector<double>& want, double tol) {
    ASSERT_EQ(y.size(), want.size());
    for (size_t i = 0; i < y.size(); ++i) ASSERT_NEAR(y[i], want[i], tol * (1 + std::fabs(want[i]))) << i;
}

void expect_bits(const std::vector<float>& a, const std::vector<float>& b, const std::string& what) {
    for (size_t i = 0; i < a.size(); ++i) ASSERT_TRUE(same_float(a[i], b[i])) << what << " at " << i;
}

struct AdaCase {
    int t, c;
    bool affine;
};

class AdaNormKernels : public ::testing::TestWithParam<AdaCase> {};

// T = 700 spans three statistics blocks; 300 x 130 takes the parallel
// statistics; odd C leaves vector tails.
INSTANTIATE_TEST_SUITE_P(Shapes, AdaNormKernels,
                         ::testing::Values(AdaCase{1, 5, false}, AdaCase{7, 3, true}, AdaCase{64, 17, false},
                                           AdaCase{700, 21, true}, AdaCase{300, 130, false},
                                           AdaCase{300, 130, true}));

TEST_P(AdaNormKernels, MatchReferenceAcrossPathsAndThreads) {
    const auto p = GetParam();
    const size_t n = size_t(p.t) * p.c;
    auto x = randn(n, 1, 2.0f, 0.5f), g = randn(p.c, 2, 0.5f), b = randn(p.c, 3), nw = randn(p.c, 4), nb = randn(p.c, 5);
    const float* w = p.affine ? nw.data() : nullptr;
    const float* wb = p.affine ? nb.data() : nullptr;
    const float eps = 1e-5f;
    std::vector<float> base(n), y(n);
    k_ada_in1d_f32(x.data(), base.data(), g.data(), b.data(), p.t, p.c, nullptr, w, eps, wb);
    expect_close(base, ref_norm(x, p.t, p.c, g.data(), b.data(), w, wb, eps, false), 2e-4);
    const int saved = omp_get_max_threads();
    for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(AdaInFn, k_ada_in1d_f32)))
        for (int th : {1, 2, 3}) {
            omp_set_num_threads(th);
            std::fill(y.begin(), y.end(), -7.0f);
            fn(x.data(), y.data(), g.data(), b.data(), p.t, p.c, nullptr, w, eps, wb);
            expect_bits(y, base, "ada_in1d " + path + " threads " + std::to_string(th));
        }
    omp_set_num_threads(saved);

    k_ada_layer_norm_f32(x.data(), base.data(), g.data(), b.data(), p.t, p.c, nullptr, eps);
    if (p.c > 1) expect_close(base, ref_norm(x, p.t, p.c, g.data(), b.data(), nullptr, nullptr, eps, true), 2e-4);
    for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(AdaLnFn, k_ada_layer_norm_f32)))
        for (int th : {1, 2, 3}) {
            omp_set_num_threads(th);
            std::fill(y.begin(), y.end(), -7.0f);
            fn(x.data(), y.data(), g.data(), b.data(), p.t, p.c, nullptr, eps);
            expect_bits(y, base, "ada_layer_norm " + path + " threads " + std::to_string(th));
        }
    omp_set_num_threads(saved);
}

// T = 1: zero variance, so x_hat = 0 (or the norm bias); gamma = -1 leaves beta.
TEST(AdaNormKernels, ExactEdgeCases) {
    const int c = 6;
    auto x = randn(c, 7), g = randn(c, 8), b = randn(c, 9), nw = randn(c, 10), nb = randn(c, 11);
    std::vector<float> y(c);
    k_ada_in1d_f32(x.data(), y.data(), g.data(), b.data(), 1, c, nullptr, nullptr, 1e-5f, nullptr);
    for (int j = 0; j < c; ++j) EXPECT_EQ(y[j], b[j]);
    k_ada_in1d_f32(x.data(), y.data(), g.data(), b.data(), 1, c, nullptr, nw.data(), 1e-5f, nb.data());
    for (int j = 0; j < c; ++j) EXPECT_FLOAT_EQ(y[j], b[j] + (1 + g[j]) * nb[j]);
    const int t = 9;
    auto xs = randn(size_t(t) * c, 12);
    std::vector<float> minus1(c, -1.0f), ys(xs.size());
    k_ada_in1d_f32(xs.data(), ys.data(), minus1.data(), b.data(), t, c, nullptr, nullptr, 1e-5f, nullptr);
    for (size_t i = 0; i < ys.size(); ++i) EXPECT_EQ(ys[i], b[i % c]);
    k_ada_layer_norm_f32(xs.data(), ys.data(), minus1.data(), b.data(), t, c, nullptr, 1e-5f);
    for (size_t i = 0; i < ys.size(); ++i) EXPECT_EQ(ys[i], b[i % c]);
}

std::string run2(ILayer& l, std::vector<float>& x, Shape3 xs, std::vector<float>& s, Shape3 ss,
                 std::vector<float>& out, int inputs = 2) {
    TensorView v[2] = {{x.data(), 0, x.size() * 4, xs.c, xs.h, xs.w}, {s.data(), 0, s.size() * 4, ss.c, ss.h, ss.w}};
    BufferView o{out.data(), 0, out.size() * 4};
    ExecContext ctx;
    return error_of([&] { l.forward(v, inputs, &o, &ctx); });
}

std::string node(const char* op, int c, int s) {
    return std::string("{\"op\":\"") + op + "\",\"C\":" + std::to_string(c) + ",\"C_style\":" + std::to_string(s) + "}";
}

// The style projection: float weights, int8 weights with row scales (same
// result as their dequantised floats) and an absent bias (zero).
TEST(StyleNormLayers, ProjectionMatchesReference) {
    const int c = 5, s = 7, t = 11;
    std::vector<int8_t> q(size_t(2 * c * s));
    std::mt19937 gen(3);
    for (auto& e : q) e = int8_t(int(gen() % 255) - 127);
    std::vector<float> sc = randn(2 * c, 4, 0.01f, 0.02f), wf(q.size()), fb = randn(2 * c, 5, 0.1f);
    for (int r = 0; r < 2 * c; ++r)
        for (int k = 0; k < s; ++k) wf[size_t(r * s + k)] = float(q[size_t(r * s + k)]) * sc[size_t(r)];
    auto x = randn(size_t(t) * c, 6), style = randn(s, 7), nw = randn(c, 8), nb = randn(c, 9);
    for (const char* op : {"ada_in1d_fp32", "ada_layer_norm_fp32"})
        for (int variant = 0; variant < 3; ++variant) {
            const bool in = std::string(op) == "ada_in1d_fp32";
            ByteTensors raw;
            if (variant == 1) {
                raw["n1.fc.weight_i8"] = bytes_of(q);
                raw["n1.fc.w_scales"] = bytes_of(sc);
            } else {
                raw["n1.fc.weight"] = bytes_of(wf);
            }
            if (variant != 2) raw["n1.fc.bias"] = bytes_of(fb);
            if (in && variant == 0) {
                raw["n1.norm.weight"] = bytes_of(nw);
                raw["n1.norm.bias"] = bytes_of(nb);
            }
            auto layer = make_layer(node(op, c, s));
            layer->load_weights(fetch_bytes(raw));
            std::vector<float> out(x.size());
            ASSERT_EQ(run2(*layer, x, {c, t, 1}, style, {s, 1, 1}, out), "") << op << variant;
            std::vector<float> h(2 * c);
            for (int r = 0; r < 2 * c; ++r) {
                double a = variant == 2 ? 0.0 : fb[size_t(r)];
                for (int k = 0; k < s; ++k) a += double(wf[size_t(r * s + k)]) * style[size_t(k)];
                h[size_t(r)] = float(a);
            }
            const bool aff = in && variant == 0;
            auto want = ref_norm(x, t, c, h.data(), h.data() + c, aff ? nw.data() : nullptr,
                                 aff ? nb.data() : nullptr, 1e-5f, !in);
            expect_close(out, want, 1e-4);
        }
}

struct ErrCase {
    const char* what;
    std::string json;
    int inputs;
    int x_c, style_n;
    bool drop_weight, short_weight;
    const char* expect;
};

TEST(StyleNormLayers, ErrorsNameNodeAndProblem) {
    const int c = 4, s = 3;
    const std::vector<ErrCase> cases = {
        {"C 0", node("ada_in1d_fp32", 0, s), 2, c, s, false, false, "argument 'C' must be at least 1"},
        {"C_style 0", node("ada_layer_norm_fp32", c, 0), 2, c, s, false, false, "argument 'C_style' must be at least 1"},
        {"eps negative", "{\"op\":\"ada_in1d_fp32\",\"C\":4,\"C_style\":3,\"eps\":-1}", 2, c, s, false, false,
         "argument 'eps'"},
        {"no style input", node("ada_in1d_fp32", c, s), 1, c, s, false, false, "style vector (2 inputs), got 1"},
        {"no style input ln", node("ada_layer_norm_fp32", c, s), 1, c, s, false, false, "(2 inputs), got 1"},
        {"short style", node("ada_in1d_fp32", c, s), 2, c, s - 1, false, false, "has 2 values, expected C_style = 3"},
        {"long style", node("ada_layer_norm_fp32", c, s), 2, c, s + 1, false, false, "expected C_style = 3"},
        {"channels", node("ada_in1d_fp32", c, s), 2, c + 1, s, false, false, "has 5 channels, expected C = 4"},
        {"missing fc", node("ada_layer_norm_fp32", c, s), 2, c, s, true, false, "'n1.fc.weight' is missing"},
        {"short fc", node("ada_in1d_fp32", c, s), 2, c, s, false, true, "holds 23 floats, expected 24"},
    };
    for (const auto& e : cases) {
        std::string err = error_of([&] {
            auto layer = make_layer(e.json);
            ByteTensors raw;
            std::vector<float> w(size_t(2 * c * s) - (e.short_weight ? 1 : 0), 0.1f);
            if (!e.drop_weight) raw["n1.fc.weight"] = bytes_of(w);
            layer->load_weights(fetch_bytes(raw));
            std::vector<float> x(size_t(e.x_c) * 6, 1.0f), st(size_t(e.style_n), 1.0f), out(x.size());
            std::string r = run2(*layer, x, {e.x_c, 6, 1}, st, {e.style_n, 1, 1}, out, e.inputs);
            if (!r.empty()) throw std::runtime_error(r);
        });
        EXPECT_NE(err.find("node 'n1'"), std::string::npos) << e.what << ": " << err;
        EXPECT_NE(err.find(e.expect), std::string::npos) << e.what << ": " << err;
    }
}

}  // namespace
