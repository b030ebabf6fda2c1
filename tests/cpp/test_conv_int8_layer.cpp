// ConvInt8 and GemmInt8 built through the factory from node JSON, with
// weights fed by a fetch over a map: every path against an int64 direct
// reference (Winograd exactly against its own integer reference and loosely
// against the direct one), and the rejections. The epilogue uses the
// engine's quantize_multiplier/requantize, which test_quantize checks on
// hand-computed cases.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/executor.h"
#include "kernels/quantize.h"
#include "layers/image/conv_int8.h"
#include "layers/image/gemm_int8.h"
#include "loader/arch_loader.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"

using namespace vantrel;

namespace {

struct Rec { std::vector<int> shape; std::vector<uint8_t> bytes; };
using Tensors = std::map<std::string, Rec>;
template <class T> Rec rec(const std::vector<T>& v) {
    Rec r{{int(v.size())}, std::vector<uint8_t>(v.size() * sizeof(T))};
    if (!v.empty()) std::memcpy(r.bytes.data(), v.data(), r.bytes.size());
    return r;
}
WeightFetch fetch_from(const Tensors& t) {
    return [&t](const std::string& n, std::vector<int>& shape, std::vector<uint8_t>& bytes) {
        auto it = t.find(n);
        if (it == t.end()) return false;
        shape = it->second.shape;
        bytes = it->second.bytes;
        return true;
    };
}
std::vector<int8_t> codes(size_t n, int lo, int hi, uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> u(lo, hi);
    std::vector<int8_t> v(n);
    for (int8_t& x : v) x = int8_t(u(g));
    return v;
}
int32_t low32(int64_t v) { return int32_t(uint32_t(uint64_t(v))); }

struct Conv { int cin, h, w, cout, kh, kw, sh, sw, ph, pw, groups, in_zp, out_zp; };
void PrintTo(const Conv& c, std::ostream* os) {
    *os << c.cin << "x" << c.h << "x" << c.w << "->" << c.cout << " k" << c.kh << "x" << c.kw << " s" << c.sh
        << "," << c.sw << " p" << c.ph << "," << c.pw << " g" << c.groups;
}
int ext(int in, int k, int s, int p) { return in + 2 * p - k < 0 ? 0 : (in + 2 * p - k) / s + 1; }

// One case's data: weights, scales (the last channel's is 0) and biases.
struct Problem {
    Conv c;
    int k;
    std::vector<int8_t> in, w;
    std::vector<float> scale;
    std::vector<int64_t> bias;
    explicit Problem(const Conv& cv) : c(cv), k(cv.cin / cv.groups * cv.kh * cv.kw) {
        in = codes(size_t(c.h) * c.w * c.cin, -128, 127, 7u + c.cin + c.h);
        w = codes(size_t(c.cout) * k, -30, 30, 3u + c.cout);
        for (int o = 0; o < c.cout; ++o) {
            scale.push_back(o == c.cout - 1 ? 0.0f : 0.03f / std::sqrt(float(k)) * (1.0f + 0.02f * float(o)));
            bias.push_back(int64_t(o % 5 - 2) * 1500);
        }
    }
    Tensors tensors() const {
        Rec wr = rec(w);
        wr.shape = {c.cout, c.cin / c.groups, c.kh, c.kw};
        return {{"c1.weight", wr}, {"c1.req_scale", rec(scale)}, {"c1.eff_bias", rec(bias)}};
    }
    int8_t epilogue(int64_t acc, int64_t b, int o) const {
        QuantMultiplier q = quantize_multiplier(scale[o]);
        return requantize(low32(acc), low32(b), q.multiplier, q.shift, int8_t(c.out_zp));
    }
    // Direct convolution in int64, padding reading in_zp.
    std::vector<int8_t> direct() const {
        const int cig = c.cin / c.groups, cog = c.cout / c.groups, oh = ext(c.h, c.kh, c.sh, c.ph), ow = ext(c.w, c.kw, c.sw, c.pw);
        std::vector<int8_t> y;
        for (int oy = 0; oy < oh; ++oy)
            for (int ox = 0; ox < ow; ++ox)
                for (int o = 0; o < c.cout; ++o) {
                    int64_t acc = 0;
                    for (int ci = 0; ci < cig; ++ci)
                        for (int ky = 0; ky < c.kh; ++ky)
                            for (int kx = 0; kx < c.kw; ++kx) {
                                const int iy = oy * c.sh - c.ph + ky, ix = ox * c.sw - c.pw + kx;
                                const bool inside = iy >= 0 && iy < c.h && ix >= 0 && ix < c.w;
                                const int v = inside ? in[(size_t(iy) * c.w + ix) * c.cin + (o / cog) * cig + ci] : c.in_zp;
                                acc += int64_t(v) * w[((size_t(o) * cig + ci) * c.kh + ky) * c.kw + kx];
                            }
                    y.push_back(epilogue(acc, bias[o], o));
                }
        return y;
    }
};

std::unique_ptr<ILayer> make(const std::string& json, bool relu = false) {
    JsonValue node = parse_json(json);
    return create_layer("c1", op_code_from_name(at(node, "op").text), node, relu);
}
std::string conv_json(const Conv& c) {
    auto kv = [](const char* k, int v) { return std::string(",\"") + k + "\":" + std::to_string(v); };
    return std::string(R"({"op":"conv")") + kv("C_out", c.cout) + kv("C_in", c.cin) + kv("kH", c.kh) + kv("kW", c.kw) +
           kv("stride_h", c.sh) + kv("stride_w", c.sw) + kv("pad_h", c.ph) + kv("pad_w", c.pw) +
           kv("groups", c.groups) + kv("in_zp", c.in_zp) + kv("out_zp", c.out_zp) + "}";
}
// Runs forward with the planned scratch (or none) into `want` bytes plus 16
// guard bytes that must stay untouched.
std::vector<int8_t> run(ILayer& l, const Conv& c, std::vector<int8_t>& in, size_t want, bool scratch) {
    ScratchRequest req;
    l.plan_scratch({c.cin, c.h, c.w}, req);
    std::vector<uint8_t> s0(scratch ? req.bytes[0] : 0), s1(scratch ? req.bytes[1] : 0);
    ExecContext ctx;
    ctx.scratch[0] = BufferView{s0.empty() ? nullptr : s0.data(), 0, s0.size()};
    ctx.scratch[1] = BufferView{s1.empty() ? nullptr : s1.data(), 0, s1.size()};
    std::vector<int8_t> y(want + 16, 0x5a);
    TensorView v{in.data(), 0, in.size(), c.cin, c.h, c.w};
    BufferView out{y.data(), 0, want};
    l.forward(&v, 1, &out, &ctx);
    for (size_t i = want; i < y.size(); ++i) EXPECT_EQ(y[i], 0x5a) << "guard " << i;
    y.resize(want);
    return y;
}

enum Path { kDense, kDepthwise, kGrouped };
struct Case { Conv c; Path path; };
void PrintTo(const Case& k, std::ostream* os) { PrintTo(k.c, os); }

class ConvInt8Layer : public ::testing::TestWithParam<Case> {};
TEST_P(ConvInt8Layer, MatchesDirectReference) {
    const Problem p(GetParam().c);
    const Conv& c = p.c;
    Tensors t = p.tensors();
    auto l = make(conv_json(c));
    l->load_weights(fetch_from(t));
    auto& conv = dynamic_cast<ConvInt8&>(*l);
    EXPECT_FALSE(conv.winograd_ready);
    EXPECT_EQ(!conv.dw_weight.empty(), GetParam().path == kDepthwise);
    const Shape3 os{c.cout, ext(c.h, c.kh, c.sh, c.ph), ext(c.w, c.kw, c.sw, c.pw)};
    EXPECT_EQ(l->output_shape({c.cin, c.h, c.w}), os);
    const std::vector<int8_t> want = p.direct();
    std::vector<int8_t> in = p.in;
    EXPECT_EQ(run(*l, c, in, want.size(), true), want);
    EXPECT_EQ(run(*l, c, in, want.size(), false), want);
    for (size_t i = size_t(c.cout) - 1; i < want.size(); i += size_t(c.cout)) ASSERT_EQ(want[i], c.out_zp);
}
INSTANTIATE_TEST_SUITE_P(
    Paths, ConvInt8Layer,
    ::testing::Values(Case{{5, 7, 6, 9, 3, 3, 2, 2, 1, 1, 1, 5, -3}, kDense},      // im2col, zp padding
                      Case{{4, 6, 7, 6, 3, 3, 1, 1, 0, 0, 1, -20, 4}, kDense},
                      Case{{6, 4, 5, 11, 1, 1, 1, 1, 0, 0, 1, 3, 0}, kDense},      // 1x1 direct
                      Case{{6, 5, 5, 4, 1, 1, 2, 2, 0, 0, 1, 3, 0}, kDense},       // 1x1 strided
                      Case{{3, 9, 8, 5, 5, 3, 2, 1, 2, 1, 1, -7, 2}, kDense},
                      Case{{3, 11, 10, 8, 7, 7, 2, 2, 3, 3, 1, 9, -1}, kDense},
                      Case{{2, 1, 2, 3, 3, 3, 1, 1, 0, 0, 1, 0, 0}, kDense},       // 0 output rows
                      Case{{32, 6, 5, 32, 3, 3, 1, 1, 1, 1, 32, 6, -2}, kDepthwise},
                      Case{{32, 7, 6, 32, 3, 3, 2, 2, 1, 1, 32, -4, 1}, kDepthwise},  // odd h
                      Case{{19, 5, 6, 19, 3, 3, 2, 2, 1, 1, 19, 2, 3}, kDepthwise},
                      Case{{32, 7, 6, 32, 3, 3, 2, 2, 0, 0, 32, -4, 1}, kDepthwise},  // pad 0: per group
                      Case{{8, 5, 6, 6, 3, 3, 1, 1, 1, 1, 2, 4, -1}, kGrouped},
                      Case{{4, 5, 5, 8, 3, 3, 1, 1, 1, 1, 4, 4, -1}, kGrouped},    // 2 outputs per group
                      Case{{8, 5, 5, 4, 3, 3, 1, 1, 1, 1, 4, -9, 2}, kGrouped}));  // 2 inputs per group

// The integer Winograd pipeline written out: U = G g G^T quantised per
// position, input transform narrowed by >> 2, 16 products, per-position
// rescale, A^T r A, then the epilogue with the zero-point-corrected bias.
std::vector<int8_t> winograd_reference(const Problem& p) {
    const Conv& c = p.c;
    const float G[4][3] = {{1, 0, 0}, {0.5f, 0.5f, 0.5f}, {0.5f, -0.5f, 0.5f}, {0, 0, 1}};
    const int Bt[4][4] = {{1, 0, -1, 0}, {0, 1, 1, 0}, {0, -1, 1, 0}, {0, 1, 0, -1}};
    const int At[2][4] = {{1, 1, 1, 0}, {0, 1, -1, -1}};
    const size_t plane = size_t(c.cout) * c.cin;
    std::vector<float> u(16 * plane);
    for (size_t oc = 0; oc < plane; ++oc)
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                double s = 0;
                for (int a = 0; a < 3; ++a)
                    for (int b = 0; b < 3; ++b) s += G[i][a] * double(p.w[oc * 9 + a * 3 + b]) * G[j][b];
                u[(4 * i + j) * plane + oc] = float(s);
            }
    std::vector<int8_t> q(16 * plane);
    float us[16];
    QuantMultiplier pos[16];
    for (int t = 0; t < 16; ++t) {
        float m = 0;
        for (size_t i = 0; i < plane; ++i) m = std::max(m, std::fabs(u[t * plane + i]));
        us[t] = m > 0 ? m * 0.007874016f : 1.0f;
        for (size_t i = 0; i < plane; ++i)
            q[t * plane + i] = int8_t(std::fmax(-128.f, std::fmin(127.f, std::round(u[t * plane + i] * (1.0f / us[t])))));
        pos[t] = quantize_multiplier(4.0f * us[t]);
    }
    auto rescale = [](int64_t x, QuantMultiplier m) {  // rounding doubling high multiply, rounding shift
        int64_t v = (2 * int64_t(low32(x)) * m.multiplier + (int64_t(1) << 31)) >> 32;
        return m.shift >= 0 ? v * (int64_t(1) << m.shift) : (v + (int64_t(1) << (-m.shift - 1))) >> -m.shift;
    };
    std::vector<int8_t> y(size_t(c.h) * c.w * c.cout);
    for (int ty = 0; ty < (c.h + 1) / 2; ++ty)
        for (int tx = 0; tx < (c.w + 1) / 2; ++tx) {
            std::vector<int> v(16 * size_t(c.cin));
            for (int ch = 0; ch < c.cin; ++ch) {
                int d[4][4];
                for (int a = 0; a < 4; ++a)
                    for (int b = 0; b < 4; ++b) {
                        const int iy = 2 * ty - 1 + a, ix = 2 * tx - 1 + b;
                        d[a][b] = iy >= 0 && iy < c.h && ix >= 0 && ix < c.w ? p.in[(size_t(iy) * c.w + ix) * c.cin + ch] : c.in_zp;
                    }
                for (int i = 0; i < 4; ++i)
                    for (int j = 0; j < 4; ++j) {
                        int s = 0;
                        for (int a = 0; a < 4; ++a)
                            for (int b = 0; b < 4; ++b) s += Bt[i][a] * d[a][b] * Bt[j][b];
                        v[(4 * i + j) * c.cin + ch] = std::max(-128, std::min(127, (s + 2) >> 2));
                    }
            }
            for (int o = 0; o < c.cout; ++o) {
                int64_t r[16], rsum = 0, corr = 0;
                for (int t = 0; t < 16; ++t) {
                    int64_t acc = 0;
                    for (int ch = 0; ch < c.cin; ++ch) acc += int64_t(v[t * c.cin + ch]) * q[t * plane + size_t(o) * c.cin + ch];
                    r[t] = rescale(acc, pos[t]);
                }
                for (int k = 0; k < 9 * c.cin; ++k) rsum += p.w[size_t(o) * 9 * c.cin + k];
                for (int ch = 0; ch < c.cin; ++ch) corr += q[5 * plane + size_t(o) * c.cin + ch];
                const int e5 = pos[5].shift;
                const int64_t wb = p.bias[o] + c.in_zp * rsum -
                                   (((int64_t(1) << (30 - e5)) + c.in_zp * corr * pos[5].multiplier) >> (31 - e5));
                for (int a = 0; a < 2; ++a)
                    for (int b = 0; b < 2; ++b) {
                        const int oy = 2 * ty + a, ox = 2 * tx + b;
                        int64_t s = 0;
                        for (int i = 0; i < 4; ++i)
                            for (int j = 0; j < 4; ++j) s += At[a][i] * r[4 * i + j] * At[b][j];
                        if (oy < c.h && ox < c.w) y[(size_t(oy) * c.w + ox) * c.cout + o] = p.epilogue(s, wb, o);
                    }
            }
        }
    return y;
}

class ConvInt8Winograd : public ::testing::TestWithParam<Conv> {};
TEST_P(ConvInt8Winograd, ExactAgainstItsIntegerReferenceAndCloseToDirect) {
    const Problem p(GetParam());
    Tensors t = p.tensors();
    auto l = make(conv_json(p.c));
    l->load_weights(fetch_from(t));
    ASSERT_TRUE(dynamic_cast<ConvInt8&>(*l).winograd_ready);
    std::vector<int8_t> in = p.in;
    const std::vector<int8_t> want = winograd_reference(p), direct = p.direct();
    EXPECT_EQ(run(*l, p.c, in, want.size(), true), want);
    EXPECT_EQ(run(*l, p.c, in, want.size(), false), want);
    double err = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_LE(std::abs(want[i] - direct[i]), 4) << i;
        err += std::abs(want[i] - direct[i]);
    }
    EXPECT_LE(err / double(want.size()), 1.0);
}
INSTANTIATE_TEST_SUITE_P(Shapes, ConvInt8Winograd,
                         ::testing::Values(Conv{5, 6, 8, 7, 3, 3, 1, 1, 1, 1, 1, 0, 0},
                                           Conv{8, 7, 5, 9, 3, 3, 1, 1, 1, 1, 1, -37, 3},    // odd extents
                                           Conv{3, 1, 1, 4, 3, 3, 1, 1, 1, 1, 1, 100, -5}));

class GemmInt8Layer : public ::testing::TestWithParam<std::pair<bool, int>> {};
TEST_P(GemmInt8Layer, DequantisesThenRelu) {
    const auto [relu, bias_base] = GetParam();
    const int cin = 37, cout = 21;
    std::vector<int8_t> x = codes(cin, -128, 127, 1), w = codes(size_t(cin) * cout, -128, 127, 2);
    std::vector<float> scale;
    std::vector<int64_t> bias;
    for (int o = 0; o < cout; ++o) scale.push_back(o == 3 ? 0.0f : 0.01f + 0.001f * o), bias.push_back(bias_base + 37 * o);
    Tensors t = {{"c1.weight", rec(w)}, {"c1.req_scale", rec(scale)}, {"c1.eff_bias", rec(bias)}};
    auto l = make(R"({"op":"gemm","C_out":21,"C_in":37,"in_zp":4})", relu);
    l->load_weights(fetch_from(t));
    EXPECT_EQ(l->input_dtype(), kDtypeInt8);
    EXPECT_EQ(l->dtype(), kDtypeFp32);
    std::vector<float> y(cout);
    TensorView v{x.data(), 0, x.size(), 1, 1, cin};  // any shape of C_in elements
    BufferView out{y.data(), 0, y.size() * 4};
    EXPECT_EQ(l->forward(&v, 1, &out, nullptr), (Shape3{cout, 1, 1}));
    for (int o = 0; o < cout; ++o) {
        int64_t acc = bias[o];
        for (int k = 0; k < cin; ++k) acc += int64_t(x[k]) * w[size_t(o) * cin + k];
        const float want = float(low32(acc)) * scale[o];
        EXPECT_EQ(y[o], relu && want <= 0 ? 0.0f : want) << o;
    }
}
INSTANTIATE_TEST_SUITE_P(Flags, GemmInt8Layer,
                         ::testing::Values(std::pair{false, 0}, std::pair{true, 0}, std::pair{false, -3000000},
                                           std::pair{true, -3000000}));  // all negative

// Bad nodes, weights or inputs, and the words the message must carry.
struct Reject { const char* json; const char* tensor; Rec replacement; int in_c; const char* message; };
class Int8LayerRejects : public ::testing::TestWithParam<Reject> {};
TEST_P(Int8LayerRejects, WithAClearMessage) {
    const Reject& r = GetParam();
    std::string what;
    try {
        auto l = make(r.json);
        const bool gemm = std::string(r.json).find("gemm") != std::string::npos;
        Tensors t = Problem(Conv{2, 4, 4, 4, gemm ? 4 : 3, gemm ? 4 : 3, 1, 1, 1, 1, 1, 0, 0}).tensors();
        if (r.tensor && r.replacement.bytes.empty()) t.erase(r.tensor);
        else if (r.tensor) t[r.tensor] = r.replacement;
        l->load_weights(fetch_from(t));
        std::vector<int8_t> in(size_t(r.in_c) * 16), y(64);
        TensorView v{in.data(), 0, in.size(), r.in_c, 4, 4};
        BufferView out{y.data(), 0, y.size()};
        l->forward(&v, 1, &out, nullptr);
    } catch (const std::runtime_error& e) {
        what = e.what();
    }
    EXPECT_NE(what.find("'c1'"), std::string::npos) << what;
    EXPECT_NE(what.find(r.message), std::string::npos) << what;
}
constexpr const char* kC = R"({"op":"conv_int8","C_out":4,"C_in":2,"kH":3,"kW":3})";
constexpr const char* kG = R"({"op":"gemm_int8","C_out":4,"C_in":32})";
Rec f32(std::vector<float> v) { return rec(v); }
Rec i64(size_t n) { return rec(std::vector<int64_t>(n, 1)); }
Rec with_shape(Rec r, std::vector<int> s) { r.shape = std::move(s); return r; }
INSTANTIATE_TEST_SUITE_P(
    Cases, Int8LayerRejects,
    ::testing::Values(
        Reject{kC, "c1.weight", rec(std::vector<int8_t>(71)), 2, "'c1.weight' holds 71 int8 values, expected 72"},
        Reject{kC, "c1.weight", rec(std::vector<float>(72)), 2, "'c1.weight' holds 288 int8 values"},  // float32 data
        Reject{kC, "c1.weight", {}, 2, "'c1.weight' is missing"},
        Reject{kC, "c1.req_scale", {}, 2, "'c1.req_scale' is missing"},
        Reject{kC, "c1.eff_bias", {}, 2, "'c1.eff_bias' is missing"},
        Reject{kC, "c1.req_scale", f32({1, 1, 1}), 2, "'c1.req_scale' holds 3 float32 values, expected 4"},
        Reject{kC, "c1.req_scale", f32({1, -1, 1, 1}), 2, "'c1.req_scale' entry 1"},
        Reject{kC, "c1.req_scale", f32({1, 1, NAN, 1}), 2, "finite and at least 0"},
        Reject{kC, "c1.req_scale", f32({1, 1, 1, INFINITY}), 2, "finite and at least 0"},
        Reject{kC, "c1.eff_bias", rec(std::vector<int32_t>(4)), 2, "'c1.eff_bias' holds 2 int64 values, expected 4"},
        Reject{kC, "c1.eff_bias", rec(std::vector<int32_t>(9)), 2, "not a whole number of int64"},
        Reject{kC, "c1.eff_bias", with_shape(i64(4), {8}), 2, "does not hold 4 int64"},  // 8 int32 by its shape
        Reject{kC, nullptr, {}, 3, "input has 3 channels, expected C_in = 2"},
        Reject{R"({"op":"conv_int8","C_out":4,"C_in":6,"groups":4})", nullptr, {}, 6, "'groups'"},
        Reject{R"({"op":"conv_int8","C_out":6,"C_in":4,"groups":0})", nullptr, {}, 4, "'groups'"},
        Reject{R"({"op":"conv_int8","C_out":4,"C_in":2,"stride_h":0})", nullptr, {}, 2, "'stride_h'"},
        Reject{R"({"op":"conv_int8","C_out":4,"C_in":2,"pad_w":-1})", nullptr, {}, 2, "'pad_w'"},
        Reject{R"({"op":"conv_int8","C_out":4,"C_in":2,"kH":0})", nullptr, {}, 2, "'kH'"},
        Reject{R"({"op":"conv_int8","C_out":4})", nullptr, {}, 2, "'C_in'"},
        Reject{kG, "c1.weight", rec(std::vector<int8_t>(127)), 2, "'c1.weight' holds 127 int8 values, expected 128"},
        Reject{kG, "c1.eff_bias", rec(std::vector<int64_t>(3)), 2, "'c1.eff_bias' holds 3 int64"},
        Reject{kG, nullptr, {}, 3, "input has 48 elements, expected C_in = 32"},
        Reject{R"({"op":"gemm_int8","C_in":2})", nullptr, {}, 2, "'C_out'"}));

TEST(ConvInt8Layer, RefusesShortBuffersAndUnloadedWeights) {
    const Conv c{2, 4, 4, 4, 3, 3, 1, 1, 1, 1, 1, 0, 0};
    Tensors t = Problem(c).tensors();
    auto l = make(conv_json(c));
    std::vector<int8_t> in(32), y(64);
    TensorView v{in.data(), 0, in.size(), 2, 4, 4};
    BufferView out{y.data(), 0, y.size()};
    EXPECT_THROW(l->forward(&v, 1, &out, nullptr), std::runtime_error);  // not loaded
    l->load_weights(fetch_from(t));
    EXPECT_THROW(l->forward(&v, 0, &out, nullptr), std::runtime_error);
    BufferView small{y.data(), 0, 63};
    EXPECT_THROW(l->forward(&v, 1, &small, nullptr), std::runtime_error);
    TensorView short_in = v;
    short_in.bytes = 31;
    EXPECT_THROW(l->forward(&short_in, 1, &out, nullptr), std::runtime_error);
}

// Graphs whose tensors reach a layer in the wrong element type are refused
// when the executor is prepared, naming the reading node.
TEST(Int8Graph, RefusesMismatchedTensorTypes) {
    struct G { const char* nodes; const char* message; };
    for (const G& g : {G{R"({"name":"c","op":"conv_fp32","inputs":["x"],"outputs":["y"],"args":{"C_out":4,"C_in":4}},
                         {"name":"fc","op":"gemm_int8","inputs":["y"],"outputs":["z"],"args":{"C_out":2,"C_in":4}})",
                          "node 'fc' (gemm_int8) reads int8 data but its input 'y' holds float32"},
                        G{R"({"name":"c","op":"conv_int8","inputs":["x"],"outputs":["y"],"args":{"C_out":4,"C_in":4}},
                         {"name":"fc","op":"gemm_fp32","inputs":["y"],"outputs":["z"],"args":{"C_out":2,"C_in":4}})",
                          "node 'fc' (gemm_fp32) reads float32 data but its input 'y' holds int8"}}) {
        ArchGraph graph = load_arch_text(std::string(R"({"model":"m","inputs":[{"name":"x","shape":[1,1,1,4]}],"nodes":[)") +
                                             g.nodes + "]}", "m.json");
        GraphExecutor ex;
        try {
            ex.prepare(graph, &cpu_allocator());
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), g.message);
        }
    }
}

}  // namespace
