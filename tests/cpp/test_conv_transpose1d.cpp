// Float transposed 1-D convolution: ConvTranspose1dFp32 against a scatter-add
// reference in double written here, the one-group GEMM path bit for bit
// against the gather kernel, thread counts 1/2/3 bit for bit, and every
// rejection.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kernels/conv_transpose1d_f32.h"
#include "layers/audio/conv_transpose1d_fp32.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"

using namespace vantrel;

namespace {

using Tensors = std::map<std::string, std::vector<uint8_t>>;

std::vector<uint8_t> bytes_of(const std::vector<float>& v) {
    std::vector<uint8_t> b(v.size() * 4);
    if (!v.empty()) std::memcpy(b.data(), v.data(), b.size());
    return b;
}
WeightFetch fetch_from(const Tensors& t) {
    return [&t](const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes) {
        auto it = t.find(name);
        if (it == t.end()) return false;
        shape.clear();
        bytes = it->second;
        return true;
    };
}

struct Threads {
    int saved = omp_get_max_threads();
    explicit Threads(int t) { omp_set_num_threads(t); }
    ~Threads() { omp_set_num_threads(saved); }
};

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
    // Scatter-add in double, and the sum of |terms| of each output.
    void reference(std::vector<double>& y, std::vector<double>& mag) const {
        const int cig = c.cin / c.g, cog = c.cout / c.g, lo = c.lout();
        y.assign(size_t(lo) * c.cout, 0.0);
        mag.assign(y.size(), 0.0);
        for (int j = 0; j < c.g; ++j)
            for (int t = 0; t < c.l; ++t)
                for (int k = 0; k < c.k; ++k) {
                    const int pos = t * c.s + k - c.p;
                    if (pos < 0 || pos >= lo) continue;
                    for (int o = 0; o < cog; ++o)
                        for (int ch = 0; ch < cig; ++ch) {
                            const int ci = j * cig + ch;
                            const double v = double(x[size_t(t) * c.cin + ci]) * w[(size_t(ci) * cog + o) * c.k + k];
                            y[size_t(pos) * c.cout + j * cog + o] += v;
                            mag[size_t(pos) * c.cout + j * cog + o] += std::fabs(v);
                        }
                }
        if (c.bias)
            for (size_t i = 0; i < y.size(); ++i) {
                y[i] += bias[i % size_t(c.cout)];
                mag[i] += std::fabs(bias[i % size_t(c.cout)]);
            }
    }
    Tensors tensors() const {
        Tensors t = {{"t1.weight", bytes_of(w)}};
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
    const Tensors t = p.tensors();
    l->load_weights(fetch_from(t));
    EXPECT_EQ(l->device_kind(), kBackendHost);
    std::vector<float> in = p.x;
    const size_t n = size_t(c.lout()) * c.cout;
    std::vector<float> y(n + 4, -7.0f);
    TensorView v{in.empty() ? nullptr : in.data(), 0, in.size() * 4, c.cin, c.l, 1};
    ScratchRequest req;
    l->plan_scratch(v.shape(), req);
    std::vector<uint8_t> s2(with_scratch ? req.bytes[2] : 0);
    ExecContext ctx;
    ctx.scratch[2] = BufferView{s2.empty() ? nullptr : s2.data(), 0, s2.size()};
    BufferView out{y.data(), 0, n * 4};
    const Shape3 got = l->forward(&v, 1, &out, &ctx);
    EXPECT_EQ(got, (Shape3{c.cout, c.lout(), 1}));
    EXPECT_EQ(l->output_shape(v.shape()), got);
    for (size_t i = n; i < y.size(); ++i) EXPECT_EQ(y[i], -7.0f) << "write past the output";
    y.resize(n);
    return y;
}

class ConvTranspose1dLayer : public ::testing::TestWithParam<Case> {};

TEST_P(ConvTranspose1dLayer, MatchesScatterReferenceOnEveryThreadCount) {
    const Problem p(GetParam());
    std::vector<double> want, mag;
    p.reference(want, mag);
    std::vector<float> y1;
    {
        Threads t(1);
        y1 = run(p, true);
    }
    ASSERT_EQ(y1.size(), want.size());
    for (size_t i = 0; i < y1.size(); ++i)
        ASSERT_LE(std::fabs(y1[i] - want[i]), 1e-6 * mag[i]) << "output " << i;
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
                      Case{64, 300, 128, 4, 2, 1, 1, 1, true},  // the GEMM shares the work
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

struct Reject {
    std::string json;
    const char* tensor;
    std::vector<uint8_t> value;  // empty: remove the tensor
    int in_c;
    const char* message;
};
class ConvTranspose1dRejects : public ::testing::TestWithParam<Reject> {};
TEST_P(ConvTranspose1dRejects, WithAClearMessage) {
    const Reject& r = GetParam();
    const Problem p(Case{4, 5, 6, 3, 2, 1, 1, 2, true});
    try {
        auto l = make(r.json);
        Tensors t = p.tensors();
        if (r.tensor) {
            if (r.value.empty()) t.erase(r.tensor);
            else t[r.tensor] = r.value;
        }
        l->load_weights(fetch_from(t));
        std::vector<float> in(size_t(r.in_c) * 5), y(64);
        TensorView v{in.data(), 0, in.size() * 4, r.in_c, 5, 1};
        BufferView out{y.data(), 0, y.size() * 4};
        l->forward(&v, 1, &out, nullptr);
        FAIL() << "accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("conv_transpose1d_fp32 node 't1'"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(r.message), std::string::npos) << e.what();
    }
}
const std::string kOk = node_json(Case{4, 5, 6, 3, 2, 1, 1, 2, true});
std::string with(const char* extra) { return kOk.substr(0, kOk.size() - 1) + "," + extra + "}"; }
INSTANTIATE_TEST_SUITE_P(
    Cases, ConvTranspose1dRejects,
    ::testing::Values(
        Reject{with(R"("kernel_size":0)"), nullptr, {}, 4, "'kernel_size' must be at least 1"},
        Reject{with(R"("stride":0)"), nullptr, {}, 4, "'stride' must be at least 1"},
        Reject{with(R"("groups":0)"), nullptr, {}, 4, "'groups' must be at least 1"},
        Reject{with(R"("padding":-1)"), nullptr, {}, 4, "'padding' must be at least 0"},
        Reject{with(R"("output_padding":-1)"), nullptr, {}, 4, "'output_padding' must be at least 0"},
        Reject{with(R"("output_padding":2)"), nullptr, {}, 4, "'output_padding' (2) must be below stride (2)"},
        Reject{with(R"("groups":3)"), nullptr, {}, 4, "'groups' (3) must divide C_in (4) and C_out (6)"},
        Reject{with(R"("C_out":0)"), nullptr, {}, 4, "'C_out' must be at least 1"},
        Reject{kOk, "t1.weight", {}, 4, "'t1.weight' is missing"},
        Reject{kOk, "t1.weight", bytes_of(std::vector<float>(35)), 4, "holds 35 floats, expected 36"},
        Reject{kOk, "t1.bias", bytes_of(std::vector<float>(5)), 4, "'t1.bias' holds 5 floats, expected 6"},
        Reject{kOk, nullptr, {}, 2, "input has 2 channels, expected C_in = 4"}));

TEST(ConvTranspose1dLayer, RefusesShortBuffersAndUnloadedWeights) {
    const Problem p(Case{4, 5, 6, 3, 2, 1, 1, 1, false});
    auto l = make(node_json(p.c));
    std::vector<float> in = p.x, y(size_t(p.c.lout()) * 6);
    TensorView v{in.data(), 0, in.size() * 4, 4, 5, 1};
    BufferView out{y.data(), 0, y.size() * 4};
    EXPECT_THROW(l->forward(&v, 1, &out, nullptr), std::runtime_error);  // not loaded
    const Tensors t = p.tensors();
    l->load_weights(fetch_from(t));
    BufferView short_out{y.data(), 0, y.size() * 4 - 4};
    EXPECT_THROW(l->forward(&v, 1, &short_out, nullptr), std::runtime_error);
    TensorView short_in = v;
    short_in.bytes -= 4;
    EXPECT_THROW(l->forward(&short_in, 1, &out, nullptr), std::runtime_error);
    EXPECT_EQ(l->forward(&v, 1, &out, nullptr), (Shape3{6, p.c.lout(), 1}));
}

}  // namespace
