// STFT and inverse STFT: the STFT kernel's vector paths bit for bit against
// the portable one; both layers against scalar double references written
// here (Hann and loaded bases, edge replication, the documented inverse
// scaling with and without `normalized`), the edge cases, thread counts and
// every rejection.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>

#include "kernel_test_paths.h"
#include "layer_test_util.h"
#include "kernels/audio/stft_f32.h"
#include "layers/audio/istft_fp32.h"
#include "layers/audio/stft_fp32.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"

using namespace vantrel;
using namespace vantrel_test;

// runnable_paths arguments for kernels named <stem>_portable, <stem>_avx2, ...
#if defined(__x86_64__)
#define PATH_VARIANTS(T, stem) T(stem##_portable), T(stem##_avx2), T(stem##_avx512), T(nullptr)
#elif defined(__aarch64__)
#define PATH_VARIANTS(T, stem) T(stem##_portable), T(nullptr), T(nullptr), T(stem##_neon)
#else
#define PATH_VARIANTS(T, stem) T(stem##_portable), T(nullptr), T(nullptr), T(nullptr)
#endif

namespace {

const double kPi = 3.14159265358979323846;

double hann(int n, int N) { return 0.5 * (1.0 - std::cos(2.0 * kPi * n / N)); }

std::unique_ptr<ILayer> make(const char* op, const std::string& args) {
    return create_layer("S", op_code_from_name(op), parse_json(std::string("{\"args\":{") + args + "}}"), false);
}
std::string nh(int n, int h) { return "\"n_fft\":" + std::to_string(n) + ",\"hop_size\":" + std::to_string(h); }


Shape3 forward(ILayer& l, std::vector<TensorView> in, std::vector<float>& y) {
    BufferView o{y.data(), 0, y.size() * 4};
    return l.forward(in.data(), int(in.size()), &o, nullptr);
}

}  // namespace

TEST(StftKernel, VectorPathsMatchPortable) {
    for (int N : {2, 4, 8, 16, 20, 30, 34}) {
        const int F = N / 2 + 1, hop = N / 2 + 1;
        const int64_t frames = 9;
        const auto p = uniform(size_t((frames - 1) * hop + N), unsigned(N));
        const auto wr = uniform(size_t(F * N), unsigned(N) + 1), wi = uniform(size_t(F * N), unsigned(N) + 2);
        std::vector<float> want(size_t(frames * 2 * F));
        stft_f32_portable(p.data(), frames, hop, wr.data(), wi.data(), N, want.data());
        for (auto& [name, fn] : runnable_paths(PATH_VARIANTS(StftF32Fn, stft_f32))) {
            std::vector<float> y(want.size());
            fn(p.data(), frames, hop, wr.data(), wi.data(), N, y.data());
            for (size_t k = 0; k < y.size(); ++k) ASSERT_TRUE(same_float(y[k], want[k])) << name << " N=" << N << " " << k;
        }
    }
}

// (N, hop, C, L, W, loaded bases): the signal is the first L*W values.
TEST(StftFp32Layer, MatchesDoubleReference) {
    struct Case { int n, hop, c, l, w; bool bases; } cases[] = {
        {20, 5, 1, 37, 1, false}, {20, 5, 1, 40, 1, false},  // S divisible by hop: last frame on the edge
        {8, 3, 2, 5, 1, false},   {2, 1, 1, 3, 1, false},    {16, 16, 1, 7, 5, false}, {12, 4, 1, 30, 1, true},
        {20, 5, 1, 1400, 1, false},  // blocks of frames over the team
    };
    for (const Case& c : cases) {
        const int N = c.n, F = N / 2 + 1, S = c.l * c.w, frames = S / c.hop + 1;
        const auto x = uniform(size_t(c.c * S), unsigned(S));
        Tensors t;
        if (c.bases) t = {{"S.w_real", uniform(size_t(F * N), 3)}, {"S.w_imag", uniform(size_t(F * N), 4)}};
        auto layer = make("stft_fp32", nh(N, c.hop));
        layer->load_weights(fetch_from(t));
        std::vector<float> y(size_t(frames * (N + 2)));
        TensorView v{const_cast<float*>(x.data()), 0, x.size() * 4, c.c, c.l, c.w};
        const int saved = omp_get_max_threads();
        std::vector<float> first;
        for (int threads : {1, 2, 3}) {
            omp_set_num_threads(threads);
            EXPECT_EQ(forward(*layer, {v}, y), (Shape3{N + 2, frames, 1}));
            if (first.empty()) first = y;
            for (size_t k = 0; k < y.size(); ++k) ASSERT_TRUE(same_float(y[k], first[k]));
        }
        omp_set_num_threads(saved);
        for (int f = 0; f < frames; ++f)
            for (int k = 0; k < F; ++k) {
                double re = 0, im = 0, scale = 0;
                for (int n = 0; n < N; ++n) {
                    const int j = std::min(std::max(f * c.hop + n - N / 2, 0), S - 1);
                    const double a = 2.0 * kPi * k * n / N;
                    const double br = c.bases ? t["S.w_real"][size_t(k * N + n)] : hann(n, N) * std::cos(a);
                    const double bi = c.bases ? t["S.w_imag"][size_t(k * N + n)] : -hann(n, N) * std::sin(a);
                    re += x[size_t(j)] * br, im += x[size_t(j)] * bi, scale += std::fabs(x[size_t(j)]);
                }
                const float m = y[size_t(f * 2 * F + k)], ph = y[size_t(f * 2 * F + F + k)];
                const double tol = 1e-5 * scale + 1e-6;
                ASSERT_NEAR(m * std::cos(ph), re, tol) << "N=" << N << " f=" << f << " k=" << k;
                ASSERT_NEAR(m * std::sin(ph), im, tol) << "N=" << N << " f=" << f << " k=" << k;
            }
    }
}

TEST(StftFp32Layer, ConstantSignalHasZeroPhaseAtBinZero) {
    auto layer = make("stft_fp32", nh(20, 5));
    std::vector<float> x(33, 0.75f), y(size_t((33 / 5 + 1) * 22));
    forward(*layer, {TensorView{x.data(), 0, x.size() * 4, 1, 33, 1}}, y);
    double wsum = 0;
    for (int n = 0; n < 20; ++n) wsum += hann(n, 20);
    for (int f = 0; f < 7; ++f) {
        EXPECT_EQ(y[size_t(f * 22 + 11)], 0.0f);
        EXPECT_NEAR(y[size_t(f * 22)], 0.75 * wsum, 1e-5);
    }
}

// The documented sum: middle bins times 2 only when normalized, division by
// the window envelope only when normalized.
TEST(IstftFp32Layer, MatchesDocumentedOverlapAdd) {
    struct Case { int n, hop, t; bool normalized; } cases[] = {
        {20, 5, 9, false}, {20, 5, 9, true}, {8, 2, 6, true}, {2, 1, 4, false}, {16, 4, 1, true}, {12, 12, 3, true}, {64, 16, 40, true},
    };
    for (const Case& c : cases) {
        const int N = c.n, F = N / 2 + 1, M = N + (c.t - 1) * c.hop, len = M - N;
        const auto mag = uniform(size_t(c.t * F), unsigned(N), 0.0f, 2.0f);
        const auto ph = uniform(size_t(c.t * F), unsigned(N) + 1, -3.0f, 3.0f);
        std::vector<double> ola(size_t(M), 0.0), env(size_t(M), 0.0), scale(size_t(M), 0.0);
        for (int f = 0; f < c.t; ++f)
            for (int n = 0; n < N; ++n) {
                double s = 0, a = 0;
                for (int k = 0; k < F; ++k) {
                    const double w = (k == 0 || k == N / 2) ? 1.0 : (c.normalized ? 2.0 : 1.0);
                    s += w * mag[size_t(f * F + k)] * std::cos(ph[size_t(f * F + k)] + 2.0 * kPi * k * n / N);
                    a += w * mag[size_t(f * F + k)];
                }
                ola[size_t(f * c.hop + n)] += hann(n, N) * s / N;
                scale[size_t(f * c.hop + n)] += hann(n, N) * a / N;
                env[size_t(f * c.hop + n)] += hann(n, N) * hann(n, N);
            }
        auto layer = make("istft_fp32", nh(N, c.hop) + ",\"normalized\":" + (c.normalized ? "true" : "false"));
        // Frames run over threads: the bits must not depend on how many.
        std::vector<float> y(size_t(M) + 1, NAN), y1;
        Shape3 s;
        const int saved = omp_get_max_threads();
        for (int threads : {1, 3}) {
            omp_set_num_threads(threads);
            y1 = y;
            s = forward(*layer, {TensorView{const_cast<float*>(mag.data()), 0, mag.size() * 4, F, c.t, 1},
                                 TensorView{const_cast<float*>(ph.data()), 0, ph.size() * 4, F, c.t, 1}}, y);
        }
        omp_set_num_threads(saved);
        EXPECT_EQ(std::memcmp(y.data(), y1.data(), size_t(len) * 4), 0) << "N=" << N;
        EXPECT_EQ(s, (Shape3{1, len, 1}));
        EXPECT_EQ(layer->output_shape(Shape3{F, c.t, 1}), (Shape3{1, M, 1}));
        for (int i = 0; i < len; ++i) {
            const size_t j = size_t(i + N / 2);
            if (c.normalized && env[j] <= 1e-8) {
                EXPECT_EQ(y[size_t(i)], 0.0f) << "silent region";  // hop == N: the window's zero
                continue;
            }
            const double want = c.normalized ? ola[j] / env[j] : ola[j];
            const double tol = 2e-5 * (c.normalized ? scale[j] / env[j] : scale[j]) + 1e-6;
            ASSERT_NEAR(y[size_t(i)], want, tol) << "N=" << N << " i=" << i;
        }
        EXPECT_TRUE(std::isnan(y[size_t(len)])) << "wrote past the trimmed length";
    }
}

TEST(StftLayers, RejectWhatTheyCannotCompute) {
    auto msg = [](const std::function<void()>& fn) -> std::string {
        try { fn(); } catch (const std::runtime_error& e) { return e.what(); }
        return "";
    };
    std::vector<float> buf(400, 0.5f), y(400);
    const TensorView spec{buf.data(), 0, 11 * 9 * 4, 11, 9, 1}, short_spec{buf.data(), 0, 11 * 9 * 4 - 4, 11, 9, 1};
    const TensorView wrong_bins{buf.data(), 0, 400 * 4, 10, 9, 1}, fewer{buf.data(), 0, 11 * 8 * 4, 11, 8, 1};
    auto istft = [&](std::vector<TensorView> in, uint64_t out_bytes = 400 * 4) {
        return [=, &y]() {
            auto l = make("istft_fp32", nh(20, 5));
            BufferView o{y.data(), 0, out_bytes};
            l->forward(in.data(), int(in.size()), &o, nullptr);
        };
    };
    auto stft = [&](TensorView in) {
        return [=, &y]() { std::vector<float> o(400); forward(*make("stft_fp32", nh(20, 5)), {in}, o); };
    };
    Tensors short_basis{{"S.w_real", std::vector<float>(219)}, {"S.w_imag", std::vector<float>(220)}};
    struct Bad { std::function<void()> fn; const char* says; } bad[] = {
        {[] { make("stft_fp32", nh(21, 5)); }, "'n_fft' must be even"},
        {[] { make("istft_fp32", nh(7, 5)); }, "'n_fft' must be even"},
        {[] { make("stft_fp32", nh(0, 5)); }, "'n_fft' must be at least 2"},
        {[] { make("stft_fp32", nh(20, 0)); }, "'hop_size' must be at least 1"},
        {[] { make("istft_fp32", nh(20, -1)); }, "'hop_size' must be at least 1"},
        {stft(TensorView{buf.data(), 0, 400 * 4, 1, 0, 1}), "signal is empty"},
        {stft(TensorView{buf.data(), 0, 10 * 4, 1, 11, 1}), "input 0 holds"},
        {[&] { make("stft_fp32", nh(20, 5))->load_weights(fetch_from(short_basis)); }, "'S.w_real' holds 219"},
        {istft({spec}), "needs 2 inputs"},
        {istft({spec, wrong_bins}), "phase input has 10 channels"},
        {istft({spec, fewer}), "phase input has 8 frames"},
        {istft({spec, short_spec}), "input 1 holds"},
        {istft({spec, spec}, 39 * 4), "output buffer holds"},
    };
    for (const Bad& b : bad) EXPECT_NE(msg(b.fn).find(b.says), std::string::npos) << b.says << " / got: " << msg(b.fn);
    // One frame lies wholly in the trimmed edges.
    const TensorView one{buf.data(), 0, 44, 11, 1, 1};
    EXPECT_EQ(forward(*make("istft_fp32", nh(20, 5)), {one, one}, y), (Shape3{1, 0, 1}));
    EXPECT_EQ(make("istft_fp32", nh(4, 10))->output_shape(Shape3{3, 0, 1}), (Shape3{1, 0, 1}));
    EXPECT_EQ(make("istft_fp32", nh(4, 10))->output_shape(Shape3{3, 1 << 30, 1 << 30}), (Shape3{1, INT32_MAX, 1}));
}
