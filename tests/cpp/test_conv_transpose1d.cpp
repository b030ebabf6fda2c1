// Float transposed 1-D convolution: the one-group GEMM path bit for bit
// against the gather kernel, thread counts 1/2/3 bit for bit, the bias in
// unreached positions, and every rejection.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kernels/conv/conv_transpose1d_f32.h"
#include "layers/audio/conv_transpose1d_fp32.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {


struct Case {
    int cin, l, cout, k, s, p, op, g;
    bool bias;
    int lout() const {
        const int n = (l - 1) * s - 2 * p + k + op;
        return l < 1 || n < 0 ? 0 : n;
    }
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << "cin" << c.cin << " l" << c.l << " cout" << c.cout << " k" << c.k << " s" << c.s << " p" << c.p
        << " op" << c.op << " g" << c.g << (c.bias ? " bias" : "");
}

struct Problem {
    Case c;
    std::vector<float> x, w, bias;  // w: [c_in][c_out/g][k]
    explicit Problem(const Case& c_) : c(c_) {
        std::mt19937 rng(c.cin * 17 + c.l * 5 + c.k);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        x.resize(size_t(c.l) * c.cin);
        w.resize(size_t(c.cin) * (c.cout / c.g) * c.k);
        for (auto* v : {&x, &w}) for (auto& e : *v) e = u(rng);
        if (c.bias) {
            bias.resize(size_t(c.cout));
            for (auto& e : bias) e = u(rng) * 4.0f;
        }
    }
    ByteTensors tensors() const {
        ByteTensors t = {{"t1.weight", bytes_of(w)}};
        if (c.bias) t["t1.bias"] = bytes_of(bias);
        return t;
    }
};

std::string node_json(const Case& c) {
    auto kv = [](const char* k, int v) { return std::string(",\"") + k + "\":" + std::to_string(v); };
    return std::string(R"({"op":"conv_transpose1d_fp32")") + kv("C_out", c.cout) + kv("C_in", c.cin) +
           kv("kernel_size", c.k) + kv("stride", c.s) + kv("padding", c.p) + kv("output_padding", c.op) +
           kv("groups", c.g) + "}";
}
std::unique_ptr<ILayer> make(const std::string& json) {
    return create_layer("t1", op_code_from_name("conv_transpose1d_fp32"), parse_json(json), false);
}

std::vector<float> run(const Problem& p, bool with_scratch) {
    const Case& c = p.c;
    auto l = make(node_json(c));
    const ByteTensors t = p.tensors();
    l->load_weights(fetch_bytes(t));
    EXPECT_EQ(l->device_kind(), kBackendHost);
    return run_conv1d(*l, p.x, c.cin, c.l, c.cout, c.lout(), with_scratch);
}

class ConvTranspose1dLayer : public ::testing::TestWithParam<Case> {};

// Values are checked against torch in tests/python/test_conv_transpose1d.py;
// here every thread count and scratch choice gives the bits of one thread.
TEST_P(ConvTranspose1dLayer, SameBitsOnEveryThreadCount) {
    const Problem p(GetParam());
    std::vector<float> y1;
    {
        Threads t(1);
        y1 = run(p, true);
    }
    ASSERT_EQ(y1.size(), size_t(p.c.lout()) * p.c.cout);
    for (int threads : {2, 3})
        for (bool scratch : {true, false}) {
            Threads t(threads);
            const std::vector<float> y = run(p, scratch);
            EXPECT_EQ(0, std::memcmp(y.data(), y1.data(), y.size() * 4)) << threads << " threads, scratch " << scratch;
        }
    // The gather kernel rounds like the per-tap GEMM path.
    if (p.c.g == 1 && !y1.empty()) {
        std::vector<float> wg(p.w.size()), y(y1.size());
        conv_transpose1d_group_weights(p.w.data(), wg.data(), p.c.cin, p.c.cout, p.c.k, 1);
        conv_transpose1d_f32_grouped(p.x.data(), wg.data(), p.c.bias ? p.bias.data() : nullptr, y.data(), p.c.cin,
                                     p.c.l, p.c.cout, p.c.k, p.c.s, p.c.p, 1, p.c.lout());
        EXPECT_EQ(0, std::memcmp(y.data(), y1.data(), y.size() * 4));
    }
}
INSTANTIATE_TEST_SUITE_P(
    Shapes, ConvTranspose1dLayer,
    ::testing::Values(Case{4, 10, 6, 4, 2, 1, 0, 1, true},      // L_out = 2L
                      Case{3, 7, 5, 3, 1, 0, 0, 1, false},      // stride 1
                      Case{5, 6, 4, 2, 3, 0, 2, 1, true},       // gaps hold the bias; output padding
                      Case{64, 300, 128, 4, 2, 1, 1, 1, true},  // output rows shared by a team
                      Case{6, 9, 9, 5, 2, 2, 1, 3, true},       // 3 groups
                      Case{8, 12, 8, 3, 2, 1, 1, 8, false},     // depthwise
                      Case{8, 5, 16, 4, 4, 0, 3, 8, true},      // depthwise, 2 outputs per channel
                      Case{16, 400, 16, 7, 2, 3, 1, 4, true},   // grouped, rows shared by a team
                      Case{2, 1, 3, 3, 2, 2, 0, 1, true},       // negative length: no output
                      Case{2, 0, 4, 3, 2, 0, 1, 2, true}));     // empty input: no output

TEST(ConvTranspose1dLayer, UnreachedPositionsHoldOnlyTheBias) {
    // stride 3 > kernel 2: every third position receives no term.
    const Problem p(Case{3, 5, 2, 2, 3, 0, 1, 1, true});
    const std::vector<float> y = run(p, true);
    for (int pos = 2; pos < p.c.lout(); pos += 3)
        for (int o = 0; o < 2; ++o) EXPECT_EQ(y[size_t(pos) * 2 + o], p.bias[o]) << pos;
}

class ConvTranspose1dRejects : public ::testing::TestWithParam<ConvReject> {};
TEST_P(ConvTranspose1dRejects, WithAClearMessage) {
    expect_conv_reject(make, Problem(Case{4, 5, 6, 3, 2, 1, 1, 2, true}).tensors(), GetParam(), 5,
                       "conv_transpose1d_fp32 node 't1'");
}
const std::string kOk = node_json(Case{4, 5, 6, 3, 2, 1, 1, 2, true});
std::string with(const char* extra) { return kOk.substr(0, kOk.size() - 1) + "," + extra + "}"; }
INSTANTIATE_TEST_SUITE_P(
    Cases, ConvTranspose1dRejects,
    ::testing::Values(
        ConvReject{with(R"("kernel_size":0)"), nullptr, {}, 4, "'kernel_size' must be at least 1"},
        ConvReject{with(R"("output_padding":-1)"), nullptr, {}, 4, "'output_padding' must be at least 0"},
        ConvReject{with(R"("output_padding":2)"), nullptr, {}, 4, "'output_padding' (2) must be below stride (2)"},
        ConvReject{with(R"("groups":3)"), nullptr, {}, 4, "'groups' (3) must divide C_in (4) and C_out (6)"},
        ConvReject{kOk, "t1.weight", {}, 4, "'t1.weight' is missing"},
        ConvReject{kOk, "t1.weight", bytes_of(std::vector<float>(35)), 4, "holds 35 floats, expected 36"},
        ConvReject{kOk, "t1.bias", bytes_of(std::vector<float>(5)), 4, "'t1.bias' holds 5 floats, expected 6"},
        ConvReject{kOk, nullptr, {}, 2, "input has 2 channels, expected C_in = 4"}));

TEST(ConvTranspose1dLayer, RefusesShortBuffersAndUnloadedWeights) {
    const Problem p(Case{4, 5, 6, 3, 2, 1, 1, 1, false});
    const ByteTensors t = p.tensors();
    EXPECT_EQ(forward_after_refusals(*make(node_json(p.c)), fetch_bytes(t), p.x, 4, 5, size_t(p.c.lout()) * 6),
              (Shape3{6, p.c.lout(), 1}));
}

}  // namespace
