// Style-conditioned normalisation: the kernels against double-precision
// references written here, every vector path and thread count bit-identical
// to the portable kernel, the edge cases with exact answers, and the layers
// (style projection, int8 fc weights, errors) through the factory.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "kernel_test_paths.h"
#include "kernels/norm/ada_in1d_f32.h"
#include "kernels/norm/ada_layer_norm_f32.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

using AdaInFn = void (*)(const float*, float*, const float*, const float*, int32_t, int32_t, void*,
                         const float*, float, const float*);
using AdaLnFn = void (*)(const float*, float*, const float*, const float*, int32_t, int32_t, void*, float);

std::vector<float> rnd(size_t n, uint32_t seed, float sd = 1.0f, float mean = 0.0f) {
    std::mt19937 g(seed);
    std::normal_distribution<float> d(mean, sd);
    std::vector<float> v(n);
    for (float& e : v) e = d(g);
    return v;
}

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

struct NormCase {
    int t, c;
    bool affine;
};

class AdaNormKernels : public ::testing::TestWithParam<NormCase> {};

// T = 700 spans three statistics blocks; 300 x 130 takes the parallel
// statistics; odd C leaves vector tails.
INSTANTIATE_TEST_SUITE_P(Shapes, AdaNormKernels,
                         ::testing::Values(NormCase{1, 5, false}, NormCase{7, 3, true}, NormCase{64, 17, false},
                                           NormCase{700, 21, true}, NormCase{300, 130, false},
                                           NormCase{300, 130, true}));

TEST_P(AdaNormKernels, MatchReferenceAcrossPathsAndThreads) {
    const auto p = GetParam();
    const size_t n = size_t(p.t) * p.c;
    auto x = rnd(n, 1, 2.0f, 0.5f), g = rnd(p.c, 2, 0.5f), b = rnd(p.c, 3), nw = rnd(p.c, 4), nb = rnd(p.c, 5);
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
    auto x = rnd(c, 7), g = rnd(c, 8), b = rnd(c, 9), nw = rnd(c, 10), nb = rnd(c, 11);
    std::vector<float> y(c);
    k_ada_in1d_f32(x.data(), y.data(), g.data(), b.data(), 1, c, nullptr, nullptr, 1e-5f, nullptr);
    for (int j = 0; j < c; ++j) EXPECT_EQ(y[j], b[j]);
    k_ada_in1d_f32(x.data(), y.data(), g.data(), b.data(), 1, c, nullptr, nw.data(), 1e-5f, nb.data());
    for (int j = 0; j < c; ++j) EXPECT_FLOAT_EQ(y[j], b[j] + (1 + g[j]) * nb[j]);
    const int t = 9;
    auto xs = rnd(size_t(t) * c, 12);
    std::vector<float> minus1(c, -1.0f), ys(xs.size());
    k_ada_in1d_f32(xs.data(), ys.data(), minus1.data(), b.data(), t, c, nullptr, nullptr, 1e-5f, nullptr);
    for (size_t i = 0; i < ys.size(); ++i) EXPECT_EQ(ys[i], b[i % c]);
    k_ada_layer_norm_f32(xs.data(), ys.data(), minus1.data(), b.data(), t, c, nullptr, 1e-5f);
    for (size_t i = 0; i < ys.size(); ++i) EXPECT_EQ(ys[i], b[i % c]);
}

// Raw tensors for the layers (int8 fc weights need byte payloads).
using Raw = std::map<std::string, std::vector<uint8_t>>;
template <class T>
std::vector<uint8_t> bytes_of(const std::vector<T>& v) {
    std::vector<uint8_t> b(v.size() * sizeof(T));
    if (!b.empty()) std::memcpy(b.data(), v.data(), b.size());
    return b;
}
WeightFetch fetch_raw(const Raw& r) {
    return [&r](const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes) {
        auto it = r.find(name);
        if (it == r.end()) return false;
        bytes = it->second;
        shape.clear();
        return true;
    };
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
    std::vector<float> sc = rnd(2 * c, 4, 0.01f, 0.02f), wf(q.size()), fb = rnd(2 * c, 5, 0.1f);
    for (int r = 0; r < 2 * c; ++r)
        for (int k = 0; k < s; ++k) wf[size_t(r * s + k)] = float(q[size_t(r * s + k)]) * sc[size_t(r)];
    auto x = rnd(size_t(t) * c, 6), style = rnd(s, 7), nw = rnd(c, 8), nb = rnd(c, 9);
    for (const char* op : {"ada_in1d_fp32", "ada_layer_norm_fp32"})
        for (int variant = 0; variant < 3; ++variant) {
            const bool in = std::string(op) == "ada_in1d_fp32";
            Raw raw;
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
            layer->load_weights(fetch_raw(raw));
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
            Raw raw;
            std::vector<float> w(size_t(2 * c * s) - (e.short_weight ? 1 : 0), 0.1f);
            if (!e.drop_weight) raw["n1.fc.weight"] = bytes_of(w);
            layer->load_weights(fetch_raw(raw));
            std::vector<float> x(size_t(e.x_c) * 6, 1.0f), st(size_t(e.style_n), 1.0f), out(x.size());
            std::string r = run2(*layer, x, {e.x_c, 6, 1}, st, {e.style_n, 1, 1}, out, e.inputs);
            if (!r.empty()) throw std::runtime_error(r);
        });
        EXPECT_NE(err.find("node 'n1'"), std::string::npos) << e.what << ": " << err;
        EXPECT_NE(err.find(e.expect), std::string::npos) << e.what << ": " << err;
    }
}

}  // namespace
