// Int8 1-D convolution: both paths of Conv1dInt8 bit for bit against a scalar
// reference written here (row quantisation, exact integer sums, then the
// float epilogue of each path), at 1, 2 and 3 threads, with planned or own
// scratch; and every rejection.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kernels/conv/conv1d_s8.h"
#include "kernels/quantize.h"
#include "layers/audio/conv1d_int8.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {


// Symmetric row quantisation: blocks of 16 round half to even, the tail
// half away from zero; a row below 1.27e-6 gets scale 1e-8.
float ref_quantise(const float* x, int n, int8_t* q) {
    float amax = 0;
    for (int i = 0; i < n; ++i) amax = std::max(amax, std::fabs(x[i]));
    const bool tiny = amax < 1.27e-6f;
    const float inv = tiny ? 1e8f : 127.0f / amax, scale = tiny ? 1e-8f : amax * 0.007874016f;
    for (int i = 0; i < n; ++i) {
        const float v = x[i] * inv;
        const float r = i < n / 16 * 16 ? std::nearbyint(v) : std::round(v);
        q[i] = int8_t(std::min(127.0f, std::max(-128.0f, r)));
    }
    return scale;
}

struct Case {
    int cin, l, cout, k, s, p, d, g;
    bool bias;
    int lout() const {
        const int span = l + 2 * p - (k - 1) * d - 1;
        return span < 0 ? 0 : span / s + 1;
    }
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << "cin" << c.cin << " l" << c.l << " cout" << c.cout << " k" << c.k << " s" << c.s << " p" << c.p
        << " d" << c.d << " g" << c.g << (c.bias ? " bias" : "");
}

struct Problem {
    Case c;
    std::vector<float> x, ws, bias;
    std::vector<int8_t> w;  // [o][k][c]
    explicit Problem(const Case& c_) : c(c_) {
        std::mt19937 rng(c.cin * 131 + c.l * 7 + c.k);
        std::uniform_real_distribution<float> u(-2.0f, 2.0f);
        std::uniform_int_distribution<int> q(-128, 127);
        x.resize(size_t(c.l) * c.cin);
        for (auto& v : x) v = u(rng);
        // An all-zero row inside the signal: scale 1e-8, no contribution.
        if (c.l > 2) std::fill(x.begin() + 2 * c.cin, x.begin() + 3 * c.cin, 0.0f);
        w.resize(size_t(c.cout) * c.k * (c.cin / c.g));
        for (auto& v : w) v = int8_t(q(rng));
        ws.resize(size_t(c.cout));
        for (auto& v : ws) v = std::fabs(u(rng)) * 0.01f + 1e-4f;
        if (c.bias) {
            bias.resize(size_t(c.cout));
            for (auto& v : bias) v = u(rng);
        }
    }

    // What the layer must give, bit for bit.
    std::vector<float> reference() const {
        const int cg = c.cin / c.g, cog = c.cout / c.g, lo = c.lout();
        std::vector<float> y(size_t(lo) * c.cout);
        auto in_row = [&](int r) { return r >= 0 && r < c.l ? &x[size_t(r) * c.cin] : nullptr; };
        if (c.s == 1 && c.g == 1) {
            const int rows = c.l + 2 * c.p;
            std::vector<int8_t> q(size_t(rows) * c.cin, 0);
            std::vector<float> s(size_t(rows), 1e-8f);
            for (int r = 0; r < rows; ++r)
                if (const float* src = in_row(r - c.p)) s[r] = ref_quantise(src, c.cin, &q[size_t(r) * c.cin]);
            for (int t = 0; t < lo; ++t)
                for (int o = 0; o < c.cout; ++o) {
                    float acc_y = 0;
                    for (int k = 0; k < c.k; ++k) {
                        const int r = t + k * c.d;
                        int64_t acc = 0;
                        for (int ch = 0; ch < c.cin; ++ch)
                            acc += int64_t(q[size_t(r) * c.cin + ch]) * w[(size_t(o) * c.k + k) * c.cin + ch];
                        const float prod = float(int32_t(acc)) * ws[o];
                        if (k > 0) acc_y = std::fmaf(s[r], prod, acc_y);
                        else acc_y = c.bias ? std::fmaf(s[r], prod, bias[o]) : s[r] * prod;
                    }
                    y[size_t(t) * c.cout + o] = acc_y;
                }
            return y;
        }
        const int row = c.k * cg;
        std::vector<float> col(static_cast<size_t>(row));
        std::vector<int8_t> q(static_cast<size_t>(row));
        for (int j = 0; j < c.g; ++j)
            for (int t = 0; t < lo; ++t) {
                for (int k = 0; k < c.k; ++k) {
                    const float* src = in_row(t * c.s + k * c.d - c.p);
                    for (int ch = 0; ch < cg; ++ch) col[size_t(k) * cg + ch] = src ? src[j * cg + ch] : 0.0f;
                }
                const float st = ref_quantise(col.data(), row, q.data());
                for (int oo = 0; oo < cog; ++oo) {
                    const int o = j * cog + oo;
                    int64_t acc = 0;
                    for (int i = 0; i < row; ++i) acc += int64_t(q[i]) * w[size_t(o) * row + i];
                    float v = (float(int32_t(acc)) * ws[o]) * st;
                    if (c.bias) v = v + bias[o];
                    y[size_t(t) * c.cout + o] = v;
                }
            }
        return y;
    }

    ByteTensors tensors() const {
        ByteTensors t = {{"c1.weight_i8", bytes_of(w)}, {"c1.w_scales", bytes_of(ws)}};
        if (c.bias) t["c1.bias"] = bytes_of(bias);
        return t;
    }
};

std::string node_json(const Case& c) {
    auto kv = [](const char* k, int v) { return std::string(",\"") + k + "\":" + std::to_string(v); };
    return std::string(R"({"op":"conv1d_int8")") + kv("C_out", c.cout) + kv("C_in", c.cin) + kv("kernel_size", c.k) +
           kv("stride", c.s) + kv("padding", c.p) + kv("dilation", c.d) + kv("groups", c.g) + "}";
}
std::unique_ptr<ILayer> make(const std::string& json) {
    return create_layer("c1", op_code_from_name("conv1d_int8"), parse_json(json), false);
}

std::vector<float> run(const Problem& p, bool with_scratch) {
    const Case& c = p.c;
    auto l = make(node_json(c));
    const ByteTensors t = p.tensors();
    l->load_weights(fetch_bytes(t));
    EXPECT_EQ(dynamic_cast<Conv1dInt8&>(*l).per_tap(), c.s == 1 && c.g == 1);
    return run_conv1d(*l, p.x, c.cin, c.l, c.cout, c.lout(), with_scratch);
}

class Conv1dInt8Layer : public ::testing::TestWithParam<Case> {};

TEST_P(Conv1dInt8Layer, ExactOnEveryThreadCountAndScratch) {
    const Problem p(GetParam());
    const std::vector<float> want = p.reference();
    for (int threads : {1, 2, 3}) {
        Threads t(threads);
        for (bool scratch : {true, false}) {
            const std::vector<float> y = run(p, scratch);
            ASSERT_EQ(y.size(), want.size());
            for (size_t i = 0; i < y.size(); ++i)
                ASSERT_EQ(y[i], want[i]) << "output " << i << ", " << threads << " threads, scratch " << scratch;
        }
    }
}
INSTANTIATE_TEST_SUITE_P(
    Paths, Conv1dInt8Layer,
    ::testing::Values(Case{5, 19, 6, 3, 1, 1, 1, 1, true},      // per tap
                      Case{20, 13, 9, 1, 1, 0, 1, 1, false},    // per tap, one tap; a 16-block and a tail
                      Case{17, 30, 12, 5, 1, 4, 2, 1, true},    // per tap, dilated, padded
                      Case{33, 9, 40, 3, 1, 1, 1, 1, true},     // per tap, fewer rows than channels
                      Case{6, 23, 8, 4, 2, 1, 1, 1, true},      // im2col, stride 2
                      Case{8, 15, 6, 3, 1, 1, 1, 2, false},     // 2 groups, unit stride
                      Case{6, 20, 12, 5, 2, 4, 2, 3, true},     // 3 groups, stride, dilation
                      Case{4, 16, 8, 3, 1, 1, 1, 4, true},      // depthwise, two outputs per channel
                      Case{3, 4, 5, 7, 1, 1, 1, 1, true},       // too short: no output
                      Case{3, 2, 5, 5, 2, 0, 1, 1, true}));     // too short, im2col

TEST(Conv1dInt8Kernel, ZeroRowScaleIsTheQuantisersOwn) {
    const float zeros[5] = {0, 0, 0, 0, 0};
    int8_t q[5];
    EXPECT_EQ(quantize_row_symmetric(zeros, q, 5), kConv1dZeroRowScale);
}

class Conv1dInt8Rejects : public ::testing::TestWithParam<ConvReject> {};
TEST_P(Conv1dInt8Rejects, WithAClearMessage) {
    expect_conv_reject(make, Problem(Case{4, 6, 6, 3, 1, 1, 1, 2, true}).tensors(), GetParam(), 6,
                       "conv1d_int8 node 'c1'");
}
const std::string kOk = node_json(Case{4, 6, 6, 3, 1, 1, 1, 2, true});
std::string with(const char* extra) { return kOk.substr(0, kOk.size() - 1) + "," + extra + "}"; }
INSTANTIATE_TEST_SUITE_P(
    Cases, Conv1dInt8Rejects,
    ::testing::Values(
        ConvReject{with(R"("kernel_size":0)"), nullptr, {}, 4, "'kernel_size' must be at least 1"},
        ConvReject{with(R"("stride":0)"), nullptr, {}, 4, "'stride' must be at least 1"},
        ConvReject{with(R"("dilation":0)"), nullptr, {}, 4, "'dilation' must be at least 1"},
        ConvReject{with(R"("groups":0)"), nullptr, {}, 4, "'groups' must be at least 1"},
        ConvReject{with(R"("padding":-1)"), nullptr, {}, 4, "'padding' must be at least 0"},
        ConvReject{with(R"("groups":4)"), nullptr, {}, 4, "'groups' (4) must divide C_in (4) and C_out (6)"},
        ConvReject{with(R"("C_in":0)"), nullptr, {}, 4, "'C_in' must be at least 1"},
        ConvReject{kOk, "c1.weight_i8", {}, 4, "'c1.weight_i8' is missing"},
        ConvReject{kOk, "c1.weight_i8", std::vector<uint8_t>(35), 4, "holds 35 int8 values, expected 36"},
        ConvReject{kOk, "c1.w_scales", {}, 4, "'c1.w_scales' is missing"},
        ConvReject{kOk, "c1.w_scales", bytes_of(std::vector<float>(5, 1.0f)), 4, "holds 5 float32 values, expected 6"},
        ConvReject{kOk, "c1.w_scales", bytes_of(std::vector<float>{1, 1, NAN, 1, 1, 1}), 4, "entry 2 is not finite"},
        ConvReject{kOk, "c1.bias", bytes_of(std::vector<float>(7)), 4, "'c1.bias' holds 7 floats, expected 6"},
        ConvReject{kOk, nullptr, {}, 5, "input has 5 channels, expected C_in = 4"}));

TEST(Conv1dInt8Layer, RefusesShortBuffersAndUnloadedWeights) {
    const Problem p(Case{4, 6, 6, 3, 1, 1, 1, 1, false});
    const ByteTensors t = p.tensors();
    EXPECT_EQ(forward_after_refusals(*make(node_json(p.c)), fetch_bytes(t), p.x, 4, 6, 36), (Shape3{6, 6, 1}));
}

}  // namespace
