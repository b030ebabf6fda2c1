// Residual adds folded into the convolution epilogue at load, and the
// chunked im2col, give the same bits as the separate ops and the whole
// matrix, on every kernel path, with F(2x2) and F(4x4) Winograd alike.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "engine/activation_fusion.h"
#include "engine/channel_scale_fusion.h"
#include "engine/concat_fusion.h"
#include "engine/executor.h"
#include "engine/expand_fusion.h"
#include "engine/residual_fusion.h"
#include "kernels/conv/conv2d_f32.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/elementwise/activation_ungrouped.h"
#include "kernels/elementwise/add_f32.h"
#include "kernels/elementwise/add_s8.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/gemm/gemm_s8_split.h"
#include "kernels/kernel_path.h"
#include "kernel_test_paths.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

// A ResNet-style stack on a 7x5 image with 5 channels (a flat count that
// leaves a tail for the add's ReLU). The adds cover: the GEMM path with the
// residual as input 1, Winograd with a clamp before the add and the residual
// as input 0, im2col with hard swish whose residual is computed after the
// convolution's input, and a depthwise conv.
const char* kBlock = R"({"model":"block","inputs":[{"name":"x","shape":[1,7,5,5]}],"outputs":[{"name":"z"},{"name":"y2"}],"nodes":[
 {"name":"c1","op":"conv_fp32","inputs":["x"],"outputs":["a"],"args":{"C_out":12,"C_in":5,"relu":1}},
 {"name":"c2","op":"conv_fp32","inputs":["a"],"outputs":["b"],"args":{"C_out":12,"C_in":12,"kH":3,"kW":3,"pad_h":1,"pad_w":1,"relu":1}},
 {"name":"c3","op":"conv_fp32","inputs":["b"],"outputs":["c"],"args":{"C_out":5,"C_in":12}},
 {"name":"add1","op":"add_fp32","inputs":["c","x"],"outputs":["y1"],"args":{"relu":1}},
 {"name":"c4","op":"conv_fp32","inputs":["y1"],"outputs":["d"],"args":{"C_out":5,"C_in":5,"kH":3,"kW":3,"pad_h":1,"pad_w":1,"act":1,"clamp_min":-0.4,"clamp_max":0.9}},
 {"name":"add2","op":"add_fp32","inputs":["y1","d"],"outputs":["y2"]},
 {"name":"c5","op":"conv_fp32","inputs":["y2"],"outputs":["e"],"args":{"C_out":5,"C_in":5,"kH":3,"kW":3,"stride_h":2,"stride_w":2,"pad_h":1,"pad_w":1,"act":2}},
 {"name":"c6","op":"conv_fp32","inputs":["y2"],"outputs":["f"],"args":{"C_out":5,"C_in":5,"stride_h":2,"stride_w":2}},
 {"name":"add3","op":"add_fp32","inputs":["e","f"],"outputs":["y3"],"args":{"relu":1}},
 {"name":"dw","op":"conv_fp32","inputs":["y3"],"outputs":["g"],"args":{"C_out":5,"C_in":5,"kH":3,"kW":3,"pad_h":1,"pad_w":1,"groups":5}},
 {"name":"add4","op":"add_fp32","inputs":["g","y3"],"outputs":["z"],"args":{"relu":1}}]})";

Tensors block_weights() {
    const struct { const char* name; size_t count; } convs[] = {
        {"c1", 12 * 5}, {"c2", 12 * 12 * 9}, {"c3", 5 * 12}, {"c4", 5 * 5 * 9},
        {"c5", 5 * 5 * 9}, {"c6", 5 * 5}, {"dw", 5 * 9}};
    Tensors t;
    uint32_t seed = 11;
    for (const auto& c : convs) {
        t[std::string(c.name) + ".weight"] = uniform(c.count, seed++, -0.5f, 0.5f);
        t[std::string(c.name) + ".bias"] = uniform(c.name[1] == '1' || c.name[1] == '2' ? 12 : 5, seed++);
    }
    return t;
}

// Runs `g` on input "x" of `dims` (float32 or int8 as T) and returns the
// values of `outputs`, one after the other.
template <class T>
std::vector<T> run_graph(ArchGraph& g, const std::vector<T>& x, std::vector<int> dims,
                         std::initializer_list<const char*> outputs) {
    GraphExecutor ex;
    ex.prepare(g, &cpu_allocator());
    InputMap in;
    in["x"] = InputTensor{x.data(), std::move(dims), std::is_same<T, float>::value ? "float32" : "int8", {}};
    OutputMap out = ex.run(in);
    std::vector<T> all;
    for (const char* name : outputs) {
        const OutputTensor& o = out.at(name);
        const T* p = static_cast<const T*>(o.data);
        all.insert(all.end(), p, p + o.bytes.size() / sizeof(T));
    }
    return all;
}

struct Outputs {
    int fused = 0;
    std::vector<float> z, y2;
};

Outputs run_block(bool fuse, const std::vector<float>& x) {
    const Tensors w = block_weights();
    ArchGraph g = load_arch_text(kBlock, "block.json");
    for (auto& l : g.layers) l->load_weights(fetch_from(w));
    Outputs o;
    if (fuse) o.fused = fuse_residual_adds(g);
    GraphExecutor ex;
    ex.prepare(g, &cpu_allocator());
    InputMap in;
    in["x"] = InputTensor{x.data(), {7, 5, 5}, "float32", {}};
    OutputMap out = ex.run(in);
    auto floats = [&](const char* name) {
        const OutputTensor& t = out.at(name);
        const float* p = static_cast<const float*>(t.data);
        return std::vector<float>(p, p + t.bytes.size() / 4);
    };
    o.z = floats("z");
    o.y2 = floats("y2");
    return o;
}

void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b, const std::string& what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(float_bits(a[i]), float_bits(b[i])) << what << " at " << i;
}

// run(fuse) on every path this machine runs, on 1 and 2 threads: the
// separate layers (VANTREL_NO_FUSION) against the fold, and against the
// first path's output, which is returned; same(a, b, label) compares.
template <class T, class Run, class Same>
std::vector<T> fold_against_separate_everywhere(Run run, Same same) {
    std::vector<T> first;
    for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
        if (!kernel_path_supported(path)) continue;
        ScopedKernelPath scope(path);
        for (int threads : {1, 2}) {
            Threads team(threads);
            const std::string label = "path " + std::to_string(int(path)) + " threads " + std::to_string(threads);
            setenv("VANTREL_NO_FUSION", "1", 1);
            const std::vector<T> sep = run(false);
            unsetenv("VANTREL_NO_FUSION");
            same(sep, run(true), label);
            if (first.empty()) first = sep;
            same(first, sep, label + " against the first path");
        }
    }
    return first;
}

TEST(ResidualFusion, BlockMatchesSeparateOpsOnEveryPath) {
    const std::vector<float> x = randn(7 * 5 * 5, 5);
    for (const char* wino : {"f2", "f4"}) {
        Outputs first;  // every path gives the portable path's bits
        for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
            if (!kernel_path_supported(path)) continue;
            ScopedKernelPath scope(path);
            setenv("VANTREL_FP32_WINOGRAD", wino, 1);  // read when the weights load
            const std::string label = std::string(wino) + " path " + std::to_string(int(path));
            const Outputs sep = run_block(false, x), fused = run_block(true, x);
            unsetenv("VANTREL_FP32_WINOGRAD");
            EXPECT_EQ(fused.fused, 4) << label;
            expect_same_bits(sep.z, fused.z, label + " z");
            expect_same_bits(sep.y2, fused.y2, label + " y2");
            if (first.z.empty()) first = sep;
            expect_same_bits(first.z, sep.z, label + " z against the first path");
        }
    }
}

// The int8 counterpart on a 5x7 image with 16 channels: adds folded into a
// 1x1 GEMM's epilogue with the residual as either input, and the folds that
// run the convolution then the add's kernel in place: a 3x3 (Winograd)
// convolution, ratios above the add's fast limit, and a count (35 x 5) that
// leaves a tail after the add's last whole block.
const char* kBlockInt8 = R"({"model":"q","inputs":[{"name":"x","shape":[1,5,7,16],"zp":3}],"outputs":[{"name":"z"},{"name":"y4"}],"nodes":[
 {"name":"c1","op":"conv_int8","inputs":["x"],"outputs":["a"],"args":{"C_out":16,"C_in":16,"in_zp":3,"out_zp":-5}},
 {"name":"add1","op":"add_int8","inputs":["a","x"],"outputs":["y1"],"args":{"in1_scale":0.05,"in2_scale":0.03,"out_scale":0.06,"in1_zp":-5,"in2_zp":3,"out_zp":2}},
 {"name":"c2","op":"conv_int8","inputs":["y1"],"outputs":["b"],"args":{"C_out":16,"C_in":16,"in_zp":2,"out_zp":7}},
 {"name":"add2","op":"add_int8","inputs":["y1","b"],"outputs":["y2"],"args":{"in1_scale":0.06,"in2_scale":0.04,"out_scale":0.05,"in1_zp":2,"in2_zp":7,"out_zp":-9}},
 {"name":"c3","op":"conv_int8","inputs":["y2"],"outputs":["c"],"args":{"C_out":16,"C_in":16,"kH":3,"kW":3,"pad_h":1,"pad_w":1,"in_zp":-9,"out_zp":1}},
 {"name":"add3","op":"add_int8","inputs":["c","y2"],"outputs":["y3"],"args":{"in1_scale":0.04,"in2_scale":0.05,"out_scale":0.07,"in1_zp":1,"in2_zp":-9,"out_zp":0}},
 {"name":"c4","op":"conv_int8","inputs":["y3"],"outputs":["d"],"args":{"C_out":16,"C_in":16,"out_zp":-3}},
 {"name":"add4","op":"add_int8","inputs":["d","y3"],"outputs":["y4"],"args":{"in1_scale":0.9,"in2_scale":0.07,"out_scale":0.1,"in1_zp":-3,"out_zp":4}},
 {"name":"c5","op":"conv_int8","inputs":["y4"],"outputs":["e"],"args":{"C_out":5,"C_in":16,"in_zp":4,"out_zp":6}},
 {"name":"c6","op":"conv_int8","inputs":["y4"],"outputs":["f"],"args":{"C_out":5,"C_in":16,"in_zp":4,"out_zp":-2}},
 {"name":"add5","op":"add_int8","inputs":["e","f"],"outputs":["z"],"args":{"in1_scale":0.05,"in2_scale":0.05,"out_scale":0.08,"in1_zp":6,"in2_zp":-2,"out_zp":-1}}]})";

RawTensors block_weights_int8() {
    RawTensors t;
    std::mt19937 rng(23);
    std::uniform_int_distribution<int> w(-60, 60), b(-3000, 3000);
    for (const auto& [name, cout, k] : std::vector<std::tuple<std::string, int, int>>{
             {"c1", 16, 16}, {"c2", 16, 16}, {"c3", 16, 144}, {"c4", 16, 16}, {"c5", 5, 16}, {"c6", 5, 16}}) {
        std::vector<int8_t> wt(size_t(cout) * size_t(k));
        for (auto& v : wt) v = int8_t(w(rng));
        std::vector<float> rs(static_cast<size_t>(cout));
        std::vector<int64_t> eb(static_cast<size_t>(cout));
        for (int o = 0; o < cout; ++o) rs[size_t(o)] = 0.0004f * float(1 + o % 4), eb[size_t(o)] = b(rng);
        t[name + ".weight"] = raw(wt);
        t[name + ".req_scale"] = raw(rs);
        t[name + ".eff_bias"] = raw(eb);
    }
    return t;
}

std::pair<int, std::vector<int8_t>> run_block_int8(bool fuse, const std::vector<int8_t>& x) {
    const RawTensors w = block_weights_int8();
    ArchGraph g = load_arch_text(kBlockInt8, "q.json");
    for (auto& l : g.layers) l->load_weights(serve(w));
    const int fused = fuse ? fuse_residual_adds(g) : 0;
    return {fused, run_graph(g, x, {5, 7, 16}, {"z", "y4"})};
}

TEST(ResidualFusion, Int8BlockMatchesSeparateOpsOnEveryPath) {
    std::vector<int8_t> x(35 * 16);
    std::mt19937 rng(5);
    for (auto& v : x) v = int8_t(int(rng() % 256) - 128);
    std::vector<int8_t> first;
    for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
        if (!kernel_path_supported(path)) continue;
        ScopedKernelPath scope(path);
        const auto sep = run_block_int8(false, x), fused = run_block_int8(true, x);
        EXPECT_EQ(fused.first, 5) << "path " << int(path);
        EXPECT_EQ(fused.second, sep.second) << "path " << int(path);
        if (first.empty()) first = sep.second;
        EXPECT_EQ(sep.second, first) << "path " << int(path) << " against the first path";
    }
    // Not saturated throughout: the block reaches ordinary codes.
    EXPECT_GT(std::count_if(first.begin(), first.end(), [](int8_t v) { return v > -128 && v < 127; }), 300);
}

// The int8 GEMM with the add folded into its epilogue against the product
// then the separate add, on column counts that end in whole 16-column pairs,
// a lone 8-column panel (24, 40) or only that (8), over partial row tiles
// (M*N whole blocks of the add, as the layer requires for the fold).
TEST(ResidualFusion, Int8GemmEpilogueMatchesTheSeparateAdd) {
    const int32_t m = 30, k = 20;
    const add_s8::Params add = add_s8::setup(-3, 5, 2, 0.05f, 0.03f, 0.04f);
    ASSERT_TRUE(add.fast);
    std::mt19937 rng(9);
    auto bytes = [&](size_t n) {
        std::vector<int8_t> v(n);
        for (auto& b : v) b = int8_t(int(rng() % 256) - 128);
        return v;
    };
    for (int32_t n : {8, 24, 40}) {
        const std::vector<int8_t> a = bytes(size_t(m) * k), w = bytes(size_t(n) * k), res = bytes(size_t(m) * n);
        std::vector<int64_t> bias(static_cast<size_t>(n));
        std::vector<int32_t> mult(static_cast<size_t>(n)), shift(static_cast<size_t>(n));
        for (int32_t c = 0; c < n; ++c) {
            bias[size_t(c)] = int64_t(rng() % 4001) - 2000;
            mult[size_t(c)] = int32_t(1 << 30) + int32_t(rng() % (1 << 29));
            shift[size_t(c)] = -int32_t(6 + c % 4);
        }
        for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
            if (!kernel_path_supported(path)) continue;
            ScopedKernelPath scope(path);
            int8_t* bp = pack_s8(w.data(), n, k);
            std::vector<int8_t> conv(res.size()), want(res.size()), got(res.size());
            gemm_s8_s8out(a.data(), bp, bias.data(), mult.data(), shift.data(), 4, conv.data(), m, k, n, false, false);
            k_add_s8(conv.data(), res.data(), -3, 5, 2, want.data(), m * n, nullptr, 0.05f, 0.03f, 0.04f);
            const S8ResidualAdd ra{res.data(), add.qa, add.qb, add.k_round};
            gemm_s8_s8out_residual(a.data(), bp, bias.data(), mult.data(), shift.data(), 4, got.data(), m, k, n, ra);
            EXPECT_EQ(got, want) << "n " << n << " path " << int(path);
            EXPECT_GT(std::count_if(want.begin(), want.end(), [](int8_t v) { return v > -128 && v < 127; }), m * n / 2);
            // Factors beyond 16 bits (a direct call; the add's own set-up
            // never gives them) against the element formula.
            const S8ResidualAdd wide{res.data(), 40000, -70000, 12345};
            gemm_s8_s8out_residual(a.data(), bp, bias.data(), mult.data(), shift.data(), 4, got.data(), m, k, n, wide);
            free_packed_s8(bp);
            for (size_t i = 0; i < got.size(); ++i) {
                const uint32_t acc = uint32_t(wide.k_round) + uint32_t(wide.q_out * conv[i]) + uint32_t(wide.q_res * res[i]);
                const int32_t v = int32_t(acc) >> 12;
                ASSERT_EQ(got[i], int8_t(v < -128 ? -128 : v > 127 ? 127 : v)) << "wide factors, n " << n << " at " << i;
            }
        }
    }
}

// Graphs where the convolution's output has another reader, is a declared
// output, or the switch is set keep their add.
TEST(ResidualFusion, LeavesSharedOutputsAndSwitchedOffGraphs) {
    const std::string head =
        R"({"model":"m","inputs":[{"name":"x","shape":[1,2,2,4]}],"outputs":[)";
    const std::string conv = R"({"name":"c","op":"conv_fp32","inputs":["x"],"outputs":["c"],"args":{"C_out":4,"C_in":4}},
                              {"name":"a","op":"add_fp32","inputs":["c","x"],"outputs":["y"]})";
    struct Case { std::string outputs, extra; const char* env; int fused; };
    for (const Case& k : {Case{R"({"name":"y"})", "", nullptr, 1}, Case{R"({"name":"y"},{"name":"c"})", "", nullptr, 0},
                          Case{R"({"name":"y2"})", R"(,{"name":"m","op":"add_fp32","inputs":["y","c"],"outputs":["y2"]})", nullptr, 0},
                          Case{R"({"name":"y"})", "", "1", 0}}) {
        ArchGraph g = load_arch_text(head + k.outputs + R"(],"nodes":[)" + conv + k.extra + "]}", "m.json");
        if (k.env) setenv("VANTREL_NO_FUSION", k.env, 1);
        EXPECT_EQ(fuse_residual_adds(g), k.fused) << k.outputs << k.extra;
        unsetenv("VANTREL_NO_FUSION");
    }
}

// The separate kernel of epilogue activation `act` (clamp to [-0.5, 2], hard
// swish or none), and an epilogue of that activation then the add of r.
void separate_activation(int act, const float* x, float* y, int32_t n) {
    if (act == ConvEpilogueF32::kClamp) k_clamp_f32(x, y, n, nullptr, -0.5f, 2.0f);
    else if (act == ConvEpilogueF32::kHardSwish) k_hard_swish_f32(x, y, n, nullptr);
    else std::copy(x, x + n, y);
}

ConvEpilogueF32 activation_then_add(int act, const float* r, bool relu, int32_t n) {
    ConvEpilogueF32 e;
    e.act = act;
    e.lo = -0.5f;
    e.hi = 2.0f;
    e.residual = r;
    e.residual_relu = relu;
    e.relu_tail_from = n / 4 * 4;
    return e;
}

// The epilogue's element rules against the separate kernels, on values
// where they differ from plain arithmetic: -0 and NaN sums inside whole
// groups and in the tail, infinities and the clamp bounds.
TEST(ResidualFusion, EpilogueRoundsLikeTheSeparateKernels) {
    const float nan = std::nanf(""), inf = INFINITY;
    const std::vector<float> y0 = {-0.0f, 0.0f, -1.0f, 2.5f, nan, inf, -inf, 0.4f, 3.0f, -3.5f, -0.0f, 1e-30f, -2.0f, -0.0f};
    const std::vector<float> r = {-0.0f, -0.0f, 0.5f, -2.5f, 1.0f, -inf, 1.0f, -0.4f, 0.0f, 7.0f, -0.0f, -1e-30f, 2.0f, -0.0f};
    const int32_t n = int32_t(y0.size());
    for (int act : {ConvEpilogueF32::kNone, ConvEpilogueF32::kClamp, ConvEpilogueF32::kHardSwish})
        for (bool relu : {false, true}) {
            std::vector<float> want(y0.size()), sum(y0.size()), got = y0;
            separate_activation(act, y0.data(), want.data(), n);
            k_add_f32(want.data(), r.data(), sum.data(), n, relu, nullptr);
            const ConvEpilogueF32 e = activation_then_add(act, r.data(), relu, n);
            conv_epilogue_f32(e, got.data(), 0, 5);  // two spans, as two tiles would
            conv_epilogue_f32(e, got.data() + 5, 5, n - 5);
            for (int32_t i = 0; i < n; ++i)
                EXPECT_EQ(float_bits(got[size_t(i)]), float_bits(sum[size_t(i)]))
                    << "act " << act << " relu " << relu << " at " << i;
        }
}

// The GEMM's own epilogue (an activation and a residual add run in
// registers on some paths) against the product then the separate
// activation and add, on NaN, infinities and signed zeros, with the add's
// ReLU tail inside one vector.
TEST(ResidualFusion, GemmEpilogueMatchesTheSeparateAdd) {
    const float nan = std::nanf(""), inf = INFINITY;
    const std::vector<float> w = {-0.0f, 0.0f, -1.0f, 2.5f, nan, inf, -inf, 0.4f, 3.0f, -3.5f, -0.0f, 1e-30f, -2.0f, -0.0f};
    const std::vector<float> r = {-0.0f, -0.0f, 0.5f, -2.5f, 1.0f, -inf, 1.0f, -0.4f, 0.0f, 7.0f, -0.0f, -1e-30f, 2.0f, nan};
    const int32_t n = int32_t(w.size());
    const float one = 1.0f;
    for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
        if (!kernel_path_supported(path)) continue;
        ScopedKernelPath scope(path);
        float* bp = pack_f32(w.data(), n, 1);  // y[j] = 1 * w[j]
        for (int act : {ConvEpilogueF32::kNone, ConvEpilogueF32::kClamp, ConvEpilogueF32::kHardSwish})
            for (bool relu : {false, true}) {
                ConvEpilogueF32 e = activation_then_add(act, r.data(), relu, n);
                std::vector<float> plain(w.size()), acted(w.size()), want(w.size()), got(w.size());
                gemm_f32_epi(&one, bp, nullptr, plain.data(), false, 1, 1, n, false, nullptr);
                separate_activation(act, plain.data(), acted.data(), n);
                k_add_f32(acted.data(), r.data(), want.data(), n, relu, nullptr);
                gemm_f32_epi(&one, bp, nullptr, got.data(), false, 1, 1, n, false, &e);
                expect_same_bits(want, got, "path " + std::to_string(int(path)) + " act " + std::to_string(act) +
                                                (relu ? " relu" : ""));
                e.residual = nullptr;  // the activation alone
                gemm_f32_epi(&one, bp, nullptr, got.data(), false, 1, 1, n, false, &e);
                expect_same_bits(acted, got, "path " + std::to_string(int(path)) + " act " + std::to_string(act));
            }
        free_packed_f32(bp);
    }
}

// Convolutions over few channels (a 7x7 stride-2 stem, a padless 3x3) go
// through the chunked im2col, or read their windows in place where the path
// can; either must equal one GEMM over the whole im2col matrix, with and
// without an epilogue, on 1 and 2 threads and every path.
class FewChannelConv : public ::testing::TestWithParam<std::array<int, 7>> {};
TEST_P(FewChannelConv, MatchesTheWholeMatrix) {
    const auto [cin, h, w, cout, kk, s, pad] = GetParam();
    const Conv2dGeometry g = conv2d_geometry(cin, h, w, kk, kk, s, s, pad, pad, 1, 1);
    const int64_t m = g.oh * g.ow, k = int64_t(kk) * kk * cin;
    const std::vector<float> in = randn(size_t(h) * w * cin, 21), wt = randn(size_t(cout) * k, 22, 0.2f),
                             bias = randn(size_t(cout), 23), res = randn(size_t(m) * cout, 24);
    std::vector<float> r(wt.size()), a(size_t(m * k));
    reorder_conv_weights_f32(wt.data(), r.data(), cout, cin, kk, kk);
    im2col_rows_f32(in.data(), g, 0, cin, 0, g.oh, a.data());
    ConvEpilogueF32 epi;
    epi.act = ConvEpilogueF32::kClamp;
    epi.lo = -0.7f;
    epi.hi = 0.8f;
    epi.residual = res.data();
    epi.residual_relu = true;
    epi.relu_tail_from = m * cout / 4 * 4;
    ConvEpilogueF32 add_only = epi;  // a residual add alone runs in the tile's registers where it can
    add_only.act = ConvEpilogueF32::kNone;
    const int saved = omp_get_max_threads();
    for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
        if (!kernel_path_supported(path)) continue;
        ScopedKernelPath scope(path);
        float* bp = pack_f32(r.data(), cout, int32_t(k));
        for (const ConvEpilogueF32* e : std::array<const ConvEpilogueF32*, 3>{nullptr, &epi, &add_only}) {
            std::vector<float> whole(size_t(m) * cout);
            gemm_f32_epi(a.data(), bp, bias.data(), whole.data(), true, int32_t(m), int32_t(k), cout, false, e);
            for (int threads : {1, 2}) {
                omp_set_num_threads(threads);
                std::vector<float> y(whole.size(), NAN);
                conv2d_f32_epi(in.data(), wt.data(), bias.data(), y.data(), cin, h, w, cout, kk, kk, s, s, pad, pad,
                               true, bp, nullptr, 1, 1, e);
                expect_same_bits(whole, y, "path " + std::to_string(int(path)) + (e ? " act " + std::to_string(e->act) : "") +
                                               " threads " + std::to_string(threads));
            }
        }
        omp_set_num_threads(saved);
        free_packed_f32(bp);
    }
}
// {cin, h, w, cout, k, stride, pad}
INSTANTIATE_TEST_SUITE_P(Shapes, FewChannelConv,
                         ::testing::Values(std::array<int, 7>{3, 47, 45, 24, 7, 2, 3},
                                           std::array<int, 7>{1, 9, 31, 5, 3, 1, 0}));

}  // namespace

// An expansion 1x1 (or a 3x3 stride-2 stem over 3 channels) folded into the
// depthwise convolution after it, and the projection 1x1 after that (with
// its residual add, or alone, or without an expansion before), equal the
// layers run apart, on every path and on 1
// and 2 threads: images large enough for row bands (several per strip,
// stride 1 and 2, 3x3 and 5x5, odd extents; a wide one of few rows, one
// strip per thread) and ones small enough to run whole (a team's of few
// rows in channel slices). The expansion ends in a clamp or in a SiLU node, which the
// expansion takes first.
struct BlockCase {
    int h, w, k, s, cmid, silu, expand, project;  // expand: 0 none, 1 a 1x1, 2 a stem; project: 0 none, 1
                                                  // alone, 2 with a residual add
};
class ExpandFusion : public ::testing::TestWithParam<BlockCase> {};
TEST_P(ExpandFusion, MatchesTheSeparateLayers) {
    const BlockCase c = GetParam();
    const int h = c.h, w = c.w, k = c.k, cmid = c.cmid, silu = c.silu && c.expand, pad = k / 2;
    const int cin = c.expand == 2 ? 3 : c.expand ? 12 : cmid, cproj = c.project == 2 ? cin : 20;
    const std::string stem = c.expand == 2 ? R"("kH":3,"kW":3,"stride_h":2,"stride_w":2,"pad_h":1,"pad_w":1,)" : "";
    const std::string n = std::to_string(cmid), kk = std::to_string(k), ss = std::to_string(c.s),
                      pp = std::to_string(pad), ci = std::to_string(cin), cp = std::to_string(cproj);
    std::string nodes;
    if (c.expand)
        nodes += R"({"name":"e","op":"conv_fp32","inputs":["x"],"outputs":[)" +
                 std::string(silu ? R"("a"],"args":{)" : R"("m"],"args":{"act":1,"clamp_min":0.0,"clamp_max":6.0,)") +
                 stem + R"("C_out":)" + n + R"(,"C_in":)" + ci + "}}," +
                 (silu ? R"({"name":"s","op":"silu_fp32","inputs":["a"],"outputs":["m"],"args":{}},)" : "");
    const std::string dw_out = c.project ? "d_out" : "y";
    nodes += R"({"name":"d","op":"conv_fp32","inputs":[")" + std::string(c.expand ? "m" : "x") + R"("],"outputs":[")" +
             dw_out + R"("],"args":{"C_out":)" + n + R"(,"C_in":)" + n + R"(,"groups":)" + n + R"(,"kH":)" + kk +
             R"(,"kW":)" + kk + R"(,"stride_h":)" + ss + R"(,"stride_w":)" + ss + R"(,"pad_h":)" + pp + R"(,"pad_w":)" +
             pp + R"(,"act":1,"clamp_min":-1.0,"clamp_max":1.5}})";
    if (c.project)
        nodes += R"(,{"name":"p","op":"conv_fp32","inputs":["d_out"],"outputs":[")" +
                 std::string(c.project == 2 ? "q" : "y") + R"("],"args":{"C_out":)" + cp + R"(,"C_in":)" + n +
                 (c.project == 1 ? R"(,"relu":1)" : "") + "}}";
    if (c.project == 2) nodes += R"(,{"name":"r","op":"add_fp32","inputs":["x","q"],"outputs":["y"],"args":{"relu":1}})";
    const std::string arch = R"({"model":"e","inputs":[{"name":"x","shape":[1,)" + std::to_string(h) + "," +
                             std::to_string(w) + "," + ci + R"(]}],"outputs":[{"name":"y"}],"nodes":[)" + nodes + "]}";
    Tensors t;
    t["e.weight"] = uniform(size_t(cmid) * cin * (c.expand == 2 ? 9 : 1), 21, -0.5f, 0.5f);
    t["e.bias"] = uniform(size_t(cmid), 22);
    t["d.weight"] = uniform(size_t(cmid) * k * k, 23, -0.5f, 0.5f);
    t["d.bias"] = uniform(size_t(cmid), 24);
    t["p.weight"] = uniform(size_t(cproj) * cmid, 26, -0.3f, 0.3f);
    t["p.bias"] = uniform(size_t(cproj), 27);
    const std::vector<float> x = randn(size_t(h) * w * cin, 25);
    auto run = [&](bool fuse) {
        ArchGraph g = load_arch_text(arch, "e.json");
        for (auto& l : g.layers) l->load_weights(fetch_from(t));
        EXPECT_EQ(fuse_silu_activations(g), fuse && silu ? 1 : 0);
        EXPECT_EQ(fuse_residual_adds(g), fuse && c.project == 2 ? 1 : 0);
        EXPECT_EQ(fuse_expand_depthwise(g), fuse && c.expand ? 1 : 0);
        EXPECT_EQ(fuse_depthwise_project(g), fuse && c.project ? 1 : 0);
        return run_graph(g, x, {h, w, cin}, {"y"});
    };
    fold_against_separate_everywhere<float>(run, expect_same_bits);
}
INSTANTIATE_TEST_SUITE_P(Shapes, ExpandFusion,
                         ::testing::Values(BlockCase{41, 39, 3, 1, 168, 0, 1, 0}, BlockCase{45, 40, 3, 2, 168, 1, 1, 1},
                                           BlockCase{40, 41, 5, 2, 170, 0, 1, 0}, BlockCase{42, 40, 5, 1, 160, 1, 1, 2},
                                           BlockCase{9, 7, 3, 2, 24, 1, 1, 0}, BlockCase{9, 7, 3, 1, 24, 1, 1, 2},
                                           BlockCase{83, 81, 3, 1, 40, 0, 0, 1}, BlockCase{11, 9, 3, 2, 36, 0, 0, 1},
                                           BlockCase{161, 157, 3, 1, 32, 0, 2, 1}, BlockCase{13, 11, 3, 1, 32, 1, 2, 0},
                                           BlockCase{14, 13, 3, 1, 720, 1, 1, 1},
                                           BlockCase{7, 7, 5, 1, 200, 1, 1, 2}));  // channel slices on a team

// The int8 block: a 1x1 expansion, a 3x3 depthwise layer and a 1x1
// projection (with its residual add folded, through the GEMM epilogue when
// the add's fast blocks cover the output, else the add's kernel after), in
// row bands on images past the band size and whole below it, against the
// separate layers on every path and thread count.
struct BlockCaseInt8 {
    int h, w, s, cmid, expand, project;  // expand: 0 none, 1 a 1x1, 2 a 3x3 stride-2 stem; project: 0 none,
                                         // 1 alone, 2 with a residual add, 3 one the add's fast blocks do
                                         // not cover
};
class ExpandFusionInt8 : public ::testing::TestWithParam<BlockCaseInt8> {};
TEST_P(ExpandFusionInt8, MatchesTheSeparateLayers) {
    const BlockCaseInt8 c = GetParam();
    const int cin = c.expand == 2 ? 3 : c.expand ? 16 : c.cmid, cproj = c.project >= 2 ? cin : 24;
    const std::string n = std::to_string(c.cmid), ci = std::to_string(cin), cp = std::to_string(cproj);
    const std::string stem = c.expand == 2 ? R"("kH":3,"kW":3,"stride_h":2,"stride_w":2,"pad_h":1,"pad_w":1,)" : "";
    std::string nodes;
    if (c.expand)
        nodes += R"({"name":"e","op":"conv_int8","inputs":["x"],"outputs":["m"],"args":{)" + stem + R"("C_out":)" +
                 n + R"(,"C_in":)" + ci + R"(,"in_zp":3,"out_zp":-4}},)";
    nodes += R"({"name":"d","op":"conv_int8","inputs":[")" + std::string(c.expand ? "m" : "x") + R"("],"outputs":[")" +
             (c.project ? "dw" : "y") + R"("],"args":{"C_out":)" + n + R"(,"C_in":)" + n + R"(,"groups":)" + n +
             R"(,"kH":3,"kW":3,"pad_h":1,"pad_w":1,"stride_h":)" + std::to_string(c.s) + R"(,"stride_w":)" +
             std::to_string(c.s) + R"(,"in_zp":-4,"out_zp":6}})";
    if (c.project)
        nodes += R"(,{"name":"p","op":"conv_int8","inputs":["dw"],"outputs":[")" + std::string(c.project >= 2 ? "q" : "y") +
                 R"("],"args":{"C_out":)" + cp + R"(,"C_in":)" + n + R"(,"in_zp":6,"out_zp":-2}})";
    // A ratio above the add's fast limit (0.9 / 0.1) leaves the add to its own kernel.
    if (c.project >= 2)
        nodes += R"(,{"name":"r","op":"add_int8","inputs":["q","x"],"outputs":["y"],"args":{"in1_scale":)" +
                 std::string(c.project == 3 ? "0.9" : "0.05") +
                 R"(,"in2_scale":0.03,"out_scale":0.1,"in1_zp":-2,"in2_zp":3,"out_zp":1}})";
    const std::string arch = R"({"model":"e","inputs":[{"name":"x","shape":[1,)" + std::to_string(c.h) + "," +
                             std::to_string(c.w) + "," + ci + R"(],"zp":3}],"outputs":[{"name":"y"}],"nodes":[)" +
                             nodes + "]}";
    RawTensors t;
    std::mt19937 rng(31);
    std::uniform_int_distribution<int> wd(-60, 60), bd(-3000, 3000);
    for (const auto& [name, cout, k] : std::vector<std::tuple<std::string, int, int>>{
             {"e", c.cmid, cin * (c.expand == 2 ? 9 : 1)}, {"d", c.cmid, 9}, {"p", cproj, c.cmid}}) {
        std::vector<int8_t> wt(size_t(cout) * size_t(k));
        for (auto& v : wt) v = int8_t(wd(rng));
        std::vector<float> rs(static_cast<size_t>(cout));
        std::vector<int64_t> eb(static_cast<size_t>(cout));
        for (int o = 0; o < cout; ++o) rs[size_t(o)] = (k == 9 ? 0.004f : 0.0006f) * float(1 + o % 4), eb[size_t(o)] = bd(rng);
        t[name + ".weight"] = raw(wt);
        t[name + ".req_scale"] = raw(rs);
        t[name + ".eff_bias"] = raw(eb);
    }
    std::vector<int8_t> x(size_t(c.h) * c.w * cin);
    for (auto& v : x) v = int8_t(int(rng() % 256) - 128);
    auto run = [&](bool fuse) {
        ArchGraph g = load_arch_text(arch, "e.json");
        for (auto& l : g.layers) l->load_weights(serve(t));
        EXPECT_EQ(fuse_residual_adds(g), fuse && c.project >= 2 ? 1 : 0);
        EXPECT_EQ(fuse_expand_depthwise(g), fuse && c.expand ? 1 : 0);
        EXPECT_EQ(fuse_depthwise_project(g), fuse && c.project ? 1 : 0);
        std::vector<int8_t> y = run_graph(g, x, {c.h, c.w, cin}, {"y"});
        const int mh = c.expand == 2 ? (c.h + 1) / 2 : c.h, mw = c.expand == 2 ? (c.w + 1) / 2 : c.w;
        const int oh = (mh - 1) / c.s + 1, ow = (mw - 1) / c.s + 1;
        EXPECT_EQ(y.size(), size_t(oh) * ow * (c.project ? cproj : c.cmid));
        return y;
    };
    const std::vector<int8_t> first = fold_against_separate_everywhere<int8_t>(
        run, [](const std::vector<int8_t>& a, const std::vector<int8_t>& b, const std::string& label) {
            EXPECT_EQ(a, b) << label;
        });
    EXPECT_GT(std::count_if(first.begin(), first.end(), [](int8_t v) { return v > -128 && v < 127; }),
              int(first.size() / 2));
}
INSTANTIATE_TEST_SUITE_P(Shapes, ExpandFusionInt8,
                         ::testing::Values(BlockCaseInt8{97, 95, 2, 96, 1, 2},   // bands, stride 2
                                           BlockCaseInt8{75, 73, 1, 144, 1, 3},  // bands, the add after
                                           BlockCaseInt8{9, 7, 1, 40, 1, 1},     // whole
                                           BlockCaseInt8{41, 39, 1, 144, 1, 2},  // bands on a team only, two strips a thread
                                           BlockCaseInt8{9, 7, 2, 64, 1, 0},     // whole, no projection
                                           BlockCaseInt8{131, 129, 1, 32, 0, 1}, // bands, no expansion
                                           BlockCaseInt8{83, 81, 1, 80, 1, 0},   // bands, no projection
                                           BlockCaseInt8{161, 159, 1, 32, 2, 1}, // a stem, bands
                                           BlockCaseInt8{13, 11, 2, 32, 2, 0})); // a stem, whole

// SiLU and exact GELU nodes after convolutions of each kind (a 1x1 product,
// a Winograd 3x3, a depthwise one) run on the convolutions' tiles and give
// the separate nodes' bits; the 1x1's activation output has two readers, and
// the convolution after it takes a residual add as well. A convolution of 6
// outputs (not whole groups of 4) keeps its SiLU node.
TEST(SiluFusion, MatchesTheSeparateNodesOnEveryPath) {
    const char* arch = R"({"model":"s","inputs":[{"name":"x","shape":[1,9,7,8]}],"outputs":[{"name":"z"},{"name":"y"},{"name":"v"}],"nodes":[
 {"name":"c1","op":"conv_fp32","inputs":["x"],"outputs":["a"],"args":{"C_out":16,"C_in":8}},
 {"name":"s1","op":"gelu_erf_fp32","inputs":["a"],"outputs":["b"],"args":{}},
 {"name":"dw","op":"conv_fp32","inputs":["b"],"outputs":["c"],"args":{"C_out":16,"C_in":16,"groups":16,"kH":3,"kW":3,"pad_h":1,"pad_w":1}},
 {"name":"s2","op":"silu_fp32","inputs":["c"],"outputs":["d"],"args":{}},
 {"name":"c3","op":"conv_fp32","inputs":["d"],"outputs":["e"],"args":{"C_out":8,"C_in":16}},
 {"name":"add","op":"add_fp32","inputs":["e","x"],"outputs":["z"]},
 {"name":"c4","op":"conv_fp32","inputs":["b"],"outputs":["f"],"args":{"C_out":12,"C_in":16,"kH":3,"kW":3,"pad_h":1,"pad_w":1}},
 {"name":"s3","op":"silu_fp32","inputs":["f"],"outputs":["y"],"args":{}},
 {"name":"c5","op":"conv_fp32","inputs":["x"],"outputs":["g"],"args":{"C_out":6,"C_in":8}},
 {"name":"s4","op":"silu_fp32","inputs":["g"],"outputs":["v"],"args":{}}]})";
    Tensors t;
    uint32_t seed = 31;
    for (const auto& [name, count] : std::vector<std::pair<std::string, size_t>>{
             {"c1", 16 * 8}, {"dw", 16 * 9}, {"c3", 8 * 16}, {"c4", 12 * 16 * 9}, {"c5", 6 * 8}}) {
        t[name + ".weight"] = uniform(count, seed++, -0.8f, 0.8f);
        t[name + ".bias"] = uniform(count / (name == "dw" ? 9 : name == "c4" ? 144 : name == "c5" ? 8 : name == "c3" ? 16 : 8), seed++);
    }
    const std::vector<float> x = randn(9 * 7 * 8, 33, 2.0f);
    auto run = [&](bool fuse) {
        ArchGraph g = load_arch_text(arch, "s.json");
        for (auto& l : g.layers) l->load_weights(fetch_from(t));
        if (fuse) {
            EXPECT_EQ(fuse_product_activations(g), 1);
            EXPECT_EQ(fuse_silu_activations(g), 2);
            EXPECT_EQ(fuse_residual_adds(g), 1);
        }
        return run_graph(g, x, {9, 7, 8}, {"z", "y", "v"});
    };
    for (const char* wino : {"f2", "f4"}) {
        std::vector<float> first;  // every path gives the first one's bits
        for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
            if (!kernel_path_supported(path)) continue;
            ScopedKernelPath scope(path);
            setenv("VANTREL_FP32_WINOGRAD", wino, 1);
            const std::string label = std::string(wino) + " path " + std::to_string(int(path));
            const std::vector<float> sep = run(false), fused = run(true);
            unsetenv("VANTREL_FP32_WINOGRAD");
            expect_same_bits(sep, fused, label);
            if (first.empty()) first = sep;
            expect_same_bits(first, sep, label + " against the first path");
        }
    }
}

// A squeeze-and-excitation block's channel scale folded into the 1x1
// projection after it (with a folded residual add, or alone with its ReLU)
// equals the layers run apart, on every path and on 1 and 2 threads: an
// image of several row bands per thread (odd extents, channels that are no
// multiple of 16) and a 7x7 one. A scaled tensor with a second reader keeps
// its channel_mul node.
struct ScaleCase {
    int h, w, c, residual, shared;
};
class ChannelScaleFusion : public ::testing::TestWithParam<ScaleCase> {};
TEST_P(ChannelScaleFusion, MatchesTheSeparateLayers) {
    const ScaleCase k = GetParam();
    const std::string c = std::to_string(k.c), cp = std::to_string(k.residual ? k.c : 20);
    std::string nodes =
        R"({"name":"d","op":"conv_fp32","inputs":["x"],"outputs":["a"],"args":{"C_out":)" + c + R"(,"C_in":)" + c +
        R"(,"groups":)" + c + R"(,"kH":3,"kW":3,"pad_h":1,"pad_w":1,"relu":1}},
 {"name":"pool","op":"avgpool_fp32","inputs":["a"],"outputs":["s0"],"args":{}},
 {"name":"sig","op":"sigmoid_fp32","inputs":["s0"],"outputs":["s"],"args":{}},
 {"name":"mul","op":"channel_mul_fp32","inputs":["a","s"],"outputs":["m"],"args":{}},
 {"name":"p","op":"conv_fp32","inputs":["m"],"outputs":[")" + std::string(k.residual ? "q" : "y") +
        R"("],"args":{"C_out":)" + cp + R"(,"C_in":)" + c + (k.residual ? "" : R"(,"relu":1)") + "}}";
    if (k.residual) nodes += R"(,{"name":"r","op":"add_fp32","inputs":["q","x"],"outputs":["y"],"args":{}})";
    const std::string arch = R"({"model":"se","inputs":[{"name":"x","shape":[1,)" + std::to_string(k.h) + "," +
                             std::to_string(k.w) + "," + c + R"(]}],"outputs":[{"name":"y"})" +
                             (k.shared ? R"(,{"name":"m"})" : "") + R"(],"nodes":[)" + nodes + "]}";
    Tensors t;
    t["d.weight"] = uniform(size_t(k.c) * 9, 41, -0.5f, 0.5f);
    t["d.bias"] = uniform(size_t(k.c), 42);
    t["p.weight"] = uniform(size_t(k.residual ? k.c : 20) * k.c, 43, -0.3f, 0.3f);
    t["p.bias"] = uniform(size_t(k.residual ? k.c : 20), 44);
    const std::vector<float> x = randn(size_t(k.h) * k.w * k.c, 45);
    auto run = [&](bool fuse) {
        ArchGraph g = load_arch_text(arch, "se.json");
        for (auto& l : g.layers) l->load_weights(fetch_from(t));
        EXPECT_EQ(fuse_residual_adds(g), fuse && k.residual ? 1 : 0);
        EXPECT_EQ(fuse_channel_scales(g), fuse && !k.shared ? 1 : 0);
        return run_graph(g, x, {k.h, k.w, k.c}, {"y"});
    };
    fold_against_separate_everywhere<float>(run, expect_same_bits);
}
INSTANTIATE_TEST_SUITE_P(Shapes, ChannelScaleFusion,
                         ::testing::Values(ScaleCase{57, 55, 120, 1, 0}, ScaleCase{7, 7, 72, 0, 0},
                                           ScaleCase{29, 27, 40, 0, 0}, ScaleCase{9, 7, 24, 1, 1}));

// A DenseNet block: each layer reads the concat of the block input and every
// layer output so far through a 1x1 depthwise batch-norm + ReLU folded into
// the 1x1 after it, and a 3x3 adds `growth` channels; a 1x1 transition reads
// the whole block. With the concats sharing the last one's buffer (layer 3's
// concat written as a part concat inside another, as converters split wide
// ones) the block equals the separate layers on every path and on 1 and 2
// threads, in row bands and whole.
struct DenseCase {
    int h, w, c0, growth;
};
class DenseConcatFusion : public ::testing::TestWithParam<DenseCase> {};
TEST_P(DenseConcatFusion, MatchesTheSeparateLayers) {
    const DenseCase k = GetParam();
    constexpr int kLayers = 4;
    Tensors t;
    uint32_t seed = 61;
    auto conv = [&](const std::string& name, const std::string& in, const std::string& out, int cin, int cout,
                    int kk, bool dw, bool relu) {
        t[name + ".weight"] = uniform(size_t(cout) * (dw ? 1 : cin) * kk * kk, seed++, -0.4f, 0.4f);
        t[name + ".bias"] = uniform(size_t(cout), seed++);
        const std::string p = std::to_string(kk / 2);
        return R"({"name":")" + name + R"(","op":"conv_fp32","inputs":[")" + in + R"("],"outputs":[")" + out +
               R"("],"args":{"C_out":)" + std::to_string(cout) + R"(,"C_in":)" + std::to_string(cin) +
               (dw ? R"(,"groups":)" + std::to_string(cin) : "") + R"(,"kH":)" + std::to_string(kk) + R"(,"kW":)" +
               std::to_string(kk) + R"(,"pad_h":)" + p + R"(,"pad_w":)" + p + (relu ? R"(,"relu":1)" : "") + "}},";
    };
    auto concat = [](const std::string& name, const std::vector<std::string>& in, const std::string& out) {
        std::string s = R"({"name":")" + name + R"(","op":"concat_fp32","inputs":[)";
        for (size_t i = 0; i < in.size(); ++i) s += (i ? ",\"" : "\"") + in[i] + "\"";
        return s + R"(],"outputs":[")" + out + R"("],"args":{}},)";
    };
    std::string nodes;
    std::vector<std::string> feats{"x"};
    for (int l = 0; l < kLayers; ++l) {
        const std::string n = "l" + std::to_string(l), cat = n + ".cat";
        const int c = k.c0 + l * k.growth;
        std::string in = "x";
        if (l == 3) {
            nodes += concat(n + ".part", {feats[0], feats[1]}, n + ".part.out");
            nodes += concat(n, {n + ".part.out", feats[2], feats[3]}, cat);
            in = cat;
        } else if (l > 0) {
            nodes += concat(n, feats, cat);
            in = cat;
        }
        nodes += conv(n + ".norm", in, n + ".n", c, c, 1, true, true);
        nodes += conv(n + ".c1", n + ".n", n + ".m", c, 16, 1, false, true);
        nodes += conv(n + ".c2", n + ".m", n + ".out", 16, k.growth, 3, false, false);
        feats.push_back(n + ".out");
    }
    const int ct = k.c0 + kLayers * k.growth;
    nodes += concat("block", feats, "b");
    nodes += conv("t.norm", "b", "t.n", ct, ct, 1, true, true);
    nodes += conv("t.c", "t.n", "y", ct, 24, 1, false, false);
    nodes.pop_back();
    const std::string arch = R"({"model":"dense","inputs":[{"name":"x","shape":[1,)" + std::to_string(k.h) + "," +
                             std::to_string(k.w) + "," + std::to_string(k.c0) +
                             R"(]}],"outputs":[{"name":"y"}],"nodes":[)" + nodes + "]}";
    const std::vector<float> x = randn(size_t(k.h) * k.w * k.c0, 65);
    auto run = [&](bool fuse) {
        ArchGraph g = load_arch_text(arch, "dense.json");
        for (auto& l : g.layers) l->load_weights(fetch_from(t));
        EXPECT_EQ(fuse_depthwise_project(g), fuse ? kLayers + 1 : 0);
        EXPECT_EQ(share_concat_buffers(g), fuse ? kLayers : 0);
        return run_graph(g, x, {k.h, k.w, k.c0}, {"y"});
    };
    fold_against_separate_everywhere<float>(run, expect_same_bits);
}
INSTANTIATE_TEST_SUITE_P(Shapes, DenseConcatFusion,
                         ::testing::Values(DenseCase{37, 35, 20, 12}, DenseCase{7, 7, 40, 16}, DenseCase{9, 11, 8, 5}));
