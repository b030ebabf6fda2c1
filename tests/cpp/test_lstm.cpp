// LSTM: the gate kernel's vector paths bit for bit against the portable one
// and against double-precision gates; the layer's thread counts and every
// rejection.
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
#include "kernels/audio/lstm_f32.h"
#include "layers/audio/lstm_fp32.h"
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

std::vector<float> randoms(size_t n, unsigned seed, float scale = 1.0f) { return uniform(n, seed, -scale, scale); }
double sig(double x) { return 1.0 / (1.0 + std::exp(-x)); }


struct Case {
    int i, h, l, w;
    bool bi, bias;
};

Tensors weights(const Case& c) {
    Tensors t;
    for (int r = 0; r < (c.bi ? 2 : 1); ++r) {
        const std::string s = r ? "_l0_reverse" : "_l0";
        const unsigned seed = unsigned(r * 10 + c.h);
        t["L.weight_ih" + s] = randoms(size_t(4 * c.h * c.i), seed, 0.6f);
        t["L.weight_hh" + s] = randoms(size_t(4 * c.h * c.h), seed + 1, 0.6f);
        if (c.bias) {
            t["L.bias_ih" + s] = randoms(size_t(4 * c.h), seed + 2);
            t["L.bias_hh" + s] = randoms(size_t(4 * c.h), seed + 3);
        }
    }
    return t;
}

std::unique_ptr<ILayer> make(int hidden, bool bi) {
    JsonValue node = parse_json("{\"op\":\"lstm_fp32\",\"args\":{\"hidden_size\":" + std::to_string(hidden) +
                                ",\"bidirectional\":" + (bi ? "true" : "false") + "}}");
    return create_layer("L", op_code_from_name("lstm_fp32"), node, false);
}

std::vector<float> run(const Case& c, const Tensors& t, const std::vector<float>& x, Shape3* shape = nullptr) {
    auto layer = make(c.h, c.bi);
    layer->load_weights(fetch_from(t));
    std::vector<float> y(size_t(c.l * c.w * (c.bi ? 2 : 1) * c.h), NAN);
    TensorView v{const_cast<float*>(x.data()), 0, x.size() * 4, c.i, c.l, c.w};
    BufferView o{y.data(), 0, y.size() * 4};
    ExecContext ctx;
    Shape3 s = layer->forward(&v, 1, &o, &ctx);
    if (shape) *shape = s;
    return y;
}

}  // namespace

TEST(LstmCellKernel, VectorPathsMatchPortableAndDoubleGates) {
    for (int h : {1, 3, 4, 5, 8, 12, 13, 16, 17, 28, 33}) {
        const auto z0 = randoms(size_t(4 * h), unsigned(h), 6.0f), g = randoms(size_t(4 * h), unsigned(h) + 50, 3.0f);
        const auto c0 = randoms(size_t(h), unsigned(h) + 99, 2.0f);
        std::vector<float> zp = z0, cp = c0, hp(static_cast<size_t>(h));
        lstm_cell_f32_portable(zp.data(), g.data(), cp.data(), hp.data(), h);
        for (int j = 0; j < h; ++j) {
            auto zz = [&](int gate) { return double(z0[size_t(gate * h + j)]) + g[size_t(gate * h + j)]; };
            const double cn = sig(zz(1)) * c0[size_t(j)] + sig(zz(0)) * std::tanh(zz(2));
            EXPECT_NEAR(cp[size_t(j)], cn, 1e-5) << "h=" << h << " j=" << j;
            EXPECT_NEAR(hp[size_t(j)], sig(zz(3)) * std::tanh(cn), 1e-5) << "h=" << h << " j=" << j;
        }
        for (auto& [name, fn] : runnable_paths(PATH_VARIANTS(LstmCellF32Fn, lstm_cell_f32))) {
            std::vector<float> zv = z0, cv = c0, hv(static_cast<size_t>(h));
            fn(zv.data(), g.data(), cv.data(), hv.data(), h);
            for (size_t k = 0; k < zv.size(); ++k) ASSERT_TRUE(same_float(zv[k], zp[k])) << name << " h=" << h;
            for (int j = 0; j < h; ++j) {
                ASSERT_TRUE(same_float(cv[size_t(j)], cp[size_t(j)])) << name << " h=" << h << " j=" << j;
                ASSERT_TRUE(same_float(hv[size_t(j)], hp[size_t(j)])) << name << " h=" << h << " j=" << j;
            }
        }
    }
}

// Values are checked against torch.nn.LSTM in tests/python/test_lstm.py;
// here the shape and the bits at every thread count.
TEST(LstmFp32Layer, ThreadCountDoesNotChangeBits) {
    const Case cases[] = {{5, 7, 1, 1, true, true}, {2, 13, 3, 3, true, false}, {8, 16, 11, 1, true, true}};
    for (const Case& c : cases) {
        const Tensors t = weights(c);
        const auto x = randoms(size_t(c.l * c.w * c.i), unsigned(c.i * 7 + c.h));
        std::vector<float> first;
        for (int threads : {1, 2, 3}) {
            Threads team(threads);
            Shape3 s;
            const auto y = run(c, t, x, &s);
            EXPECT_EQ(s, (Shape3{(c.bi ? 2 : 1) * c.h, c.l, c.w}));
            if (first.empty()) first = y;
            for (size_t k = 0; k < y.size(); ++k) ASSERT_TRUE(same_float(y[k], first[k])) << threads << " threads";
        }
    }
}

TEST(LstmFp32Layer, RejectsWhatItCannotRead) {
    const Case c{3, 4, 5, 1, true, true};
    auto base = weights(c);
    auto with = [&](const char* key, std::vector<float> v) { Tensors t = base; t[key] = std::move(v); return t; };
    Tensors no_hh = base;
    no_hh.erase("L.weight_hh_l0_reverse");
    struct Bad { Tensors t; const char* says; } bad[] = {
        {with("L.weight_ih_l0", randoms(4 * 4 * 3 + 2, 1)), "expected a positive multiple of 4*hidden_size = 16"},
        {with("L.weight_ih_l0", {}), "expected a positive multiple of 4*hidden_size = 16"},
        {with("L.weight_ih_l0_reverse", randoms(4 * 4 * 2, 1)), "'L.weight_ih_l0_reverse' holds 32 floats, expected 48"},
        {with("L.weight_hh_l0", randoms(4 * 4 * 4 - 1, 1)), "'L.weight_hh_l0' holds 63 floats, expected 64"},
        {with("L.bias_hh_l0", randoms(17, 1)), "'L.bias_hh_l0' holds 17 floats, expected 16"},
        {no_hh, "'L.weight_hh_l0_reverse' is missing"},
    };
    auto msg = [](const std::function<void()>& fn) { return error_of(fn); };
    for (const Bad& b : bad) {
        const std::string m = msg([&] { make(4, true)->load_weights(fetch_from(b.t)); });
        EXPECT_NE(m.find(b.says), std::string::npos) << b.says << " / got: " << m;
        EXPECT_EQ(m.rfind("lstm_fp32 node 'L'", 0), 0u) << m;
    }
    Tensors empty_bias = with("L.bias_ih_l0", {});
    EXPECT_NO_THROW(make(4, true)->load_weights(fetch_from(empty_bias)));
    EXPECT_NE(msg([] { make(0, false); }).find("'hidden_size' must be at least 1"), std::string::npos);
    EXPECT_NE(msg([] { make(1 << 30, false); }).find("'hidden_size' (1073741824) is too large"), std::string::npos);

    auto layer = make(4, true);
    layer->load_weights(fetch_from(base));
    std::vector<float> x(15), y(40);
    BufferView o{y.data(), 0, y.size() * 4}, small{y.data(), 0, 39 * 4};
    TensorView good{x.data(), 0, 60, 3, 5, 1}, wide{x.data(), 0, 60, 2, 5, 1}, short_in{x.data(), 0, 56, 3, 5, 1};
    EXPECT_NO_THROW(layer->forward(&good, 1, &o, nullptr));
    struct Call { const TensorView* in; int n; const BufferView* out; const char* says; } calls[] = {
        {&wide, 1, &o, "input has 2 features per step, the weights expect 3"},
        {&short_in, 1, &o, "input 0 holds 56 bytes"},
        {&good, 0, &o, "needs 1 input"},
        {&good, 1, &small, "output buffer holds 156 bytes"},
    };
    for (const Call& c : calls) {
        const std::string m = msg([&] { layer->forward(c.in, c.n, c.out, nullptr); });
        EXPECT_NE(m.find(c.says), std::string::npos) << c.says << " / got: " << m;
    }
}
