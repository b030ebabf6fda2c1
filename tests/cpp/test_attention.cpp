// Self-attention: the online-softmax core against a plain-softmax double
// reference, the one-token case, thread counts and kernel paths bit for bit,
// the layers' scratch use and refusals.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "kernel_test_paths.h"
#include "kernels/attention/attention_core.h"
#include "kernels/attention/attention_f32.h"
#include "kernels/gemm/gemm_f32.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;
using vantrel_test::same_float;

namespace {

// Softmax attention of every head over all tokens, in double; keys whose
// mask value is 0 get -inf added to their scores.
std::vector<double> reference_core(const std::vector<float>& qkv, int T, int E, int H,
                                   const std::vector<float>& mask = {}) {
    const int d = E / H;
    std::vector<double> out(size_t(T) * E, 0.0), w(T);
    for (int h = 0; h < H; ++h)
        for (int i = 0; i < T; ++i) {
            double mx = -1e300, sum = 0.0;
            for (int j = 0; j < T; ++j) {
                double s = 0.0;
                for (int c = 0; c < d; ++c) s += double(qkv[size_t(i) * 3 * E + h * d + c]) * qkv[size_t(j) * 3 * E + E + h * d + c];
                w[j] = s / std::sqrt(double(d)) + (!mask.empty() && mask[j] == 0.0f ? -INFINITY : 0.0);
                mx = std::max(mx, w[j]);
            }
            for (int j = 0; j < T; ++j) sum += (w[j] = std::exp(w[j] - mx));
            for (int j = 0; j < T; ++j)
                for (int c = 0; c < d; ++c)
                    out[size_t(i) * E + h * d + c] += w[j] / sum * qkv[size_t(j) * 3 * E + 2 * E + h * d + c];
        }
    return out;
}

using CoreFn = void (*)(const float*, float*, int32_t, int32_t, int32_t, const float*);

std::vector<std::pair<std::string, CoreFn>> core_paths() {
#if defined(__x86_64__)
    return vantrel_test::runnable_paths<CoreFn>(&attention_core_f32_portable, &attention_core_f32_avx2,
                                                &attention_core_f32_avx512, nullptr);
#elif defined(__aarch64__)
    return vantrel_test::runnable_paths<CoreFn>(&attention_core_f32_portable, nullptr, nullptr,
                                                &attention_core_f32_neon);
#else
    return vantrel_test::runnable_paths<CoreFn>(&attention_core_f32_portable, nullptr, nullptr, nullptr);
#endif
}

using HeadFn = void (*)(const float*, const float*, const float*, int64_t, float*, int64_t, int32_t, int32_t,
                       const float*);

std::vector<std::pair<std::string, HeadFn>> head_paths() {
#if defined(__x86_64__)
    return vantrel_test::runnable_paths<HeadFn>(&attention_head_f32_portable, &attention_head_f32_avx2,
                                                &attention_head_f32_avx512, nullptr);
#elif defined(__aarch64__)
    return vantrel_test::runnable_paths<HeadFn>(&attention_head_f32_portable, nullptr, nullptr,
                                                &attention_head_f32_neon);
#else
    return vantrel_test::runnable_paths<HeadFn>(&attention_head_f32_portable, nullptr, nullptr, nullptr);
#endif
}

// Head by head from each head's own packed rows (d apart, as the fused
// layer computes them), which the head reads in place.
std::vector<float> run_heads_packed(HeadFn f, const std::vector<float>& qkv, int T, int E, int H,
                                    const std::vector<float>& mask) {
    const int d = E / H;
    std::vector<float> out(size_t(T) * E, 0.0f), part(size_t(3) * T * d);
    for (int h = 0; h < H; ++h) {
        for (int x = 0; x < 3; ++x)
            for (int t = 0; t < T; ++t)
                for (int c = 0; c < d; ++c)
                    part[(size_t(x) * T + t) * d + c] = qkv[size_t(t) * 3 * E + size_t(x) * E + h * d + c];
        f(part.data(), part.data() + size_t(T) * d, part.data() + size_t(2) * T * d, d, out.data() + h * d, E, T, d,
          mask.empty() ? nullptr : mask.data());
    }
    return out;
}

std::vector<float> run_core(CoreFn f, const std::vector<float>& qkv, int T, int E, int H,
                            const std::vector<float>& mask = {}) {
    std::vector<float> out(size_t(T) * E, 0.0f);
    f(qkv.data(), out.data(), T, E, H, mask.empty() ? nullptr : mask.data());
    return out;
}

// pad > 0: a key mask with every pad-th token masked, and the last `pad`
// tokens too (trailing padding).
struct CoreCase {
    int T, H, d, pad = 0;
};
void PrintTo(const CoreCase& c, std::ostream* os) {
    *os << "T=" << c.T << " H=" << c.H << " d=" << c.d << " pad=" << c.pad;
}

std::vector<float> key_mask(const CoreCase& p) {
    std::vector<float> m;
    if (p.pad > 0)
        for (int t = 0; t < p.T; ++t) m.push_back(t > 0 && (t % p.pad == 0 || t >= p.T - p.pad) ? 0.0f : 1.0f);
    return m;
}

class AttentionCore : public ::testing::TestWithParam<CoreCase> {};

// Every path matches the reference, and every vector path and thread count
// matches the portable path bit for bit.
TEST_P(AttentionCore, MatchesPlainSoftmaxOnEveryPathAndThreadCount) {
    const CoreCase p = GetParam();
    const int E = p.H * p.d;
    const std::vector<float> qkv = randn(size_t(p.T) * 3 * E, unsigned(p.T * 131 + E), 1.5f);
    const std::vector<float> mask = key_mask(p);
    const std::vector<double> want = reference_core(qkv, p.T, E, p.H, mask);
    const int saved = omp_get_max_threads();
    std::vector<float> base;
    for (auto& [path, fn] : core_paths())
        for (int threads : {1, 2, 3}) {
            omp_set_num_threads(threads);
            const std::vector<float> got = run_core(fn, qkv, p.T, E, p.H, mask);
            if (base.empty()) {
                base = got;
                for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 1e-5) << "at " << i;
            }
            for (size_t i = 0; i < got.size(); ++i)
                ASSERT_TRUE(same_float(got[i], base[i])) << path << " threads " << threads << " at " << i;
        }
    omp_set_num_threads(saved);
    for (auto& [path, fn] : head_paths()) {
        const std::vector<float> got = run_heads_packed(fn, qkv, p.T, E, p.H, mask);
        for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(same_float(got[i], base[i])) << path << " heads at " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, AttentionCore,
                         ::testing::Values(CoreCase{1, 2, 8}, CoreCase{63, 3, 16}, CoreCase{64, 1, 64},
                                           CoreCase{65, 4, 5}, CoreCase{130, 2, 33}, CoreCase{130, 12, 4},
                                           CoreCase{7, 5, 1}, CoreCase{9, 2, 8, 3}, CoreCase{130, 3, 16, 5},
                                           CoreCase{200, 2, 17, 70}));

// Masked keys are left out, not weighted down: a padded sequence gives its
// real rows the bits of the sequence without the padding.
TEST(AttentionCoreMask, PaddedRowsMatchTheUnpaddedSequenceBitForBit) {
    const int T = 75, pad = 11, E = 12, H = 3;
    const std::vector<float> qkv = randn(size_t(T) * 3 * E, 77, 1.5f);
    std::vector<float> mask(T, 1.0f);
    std::fill(mask.end() - pad, mask.end(), 0.0f);
    const std::vector<float> head(qkv.begin(), qkv.begin() + (T - pad) * 3 * E);
    for (auto& [path, fn] : core_paths()) {
        const std::vector<float> padded = run_core(fn, qkv, T, E, H, mask);
        const std::vector<float> plain = run_core(fn, head, T - pad, E, H);
        for (size_t i = 0; i < plain.size(); ++i) ASSERT_TRUE(same_float(padded[i], plain[i])) << path << " " << i;
    }
}

// One key: the softmax weight is exactly 1, so each head returns the value.
TEST(AttentionCoreOneToken, ReturnsTheValueExactly) {
    for (auto& [path, fn] : core_paths()) {
        const std::vector<float> qkv = randn(3 * 24, 9, 4.0f);
        const std::vector<float> got = run_core(fn, qkv, 1, 24, 3);
        for (int c = 0; c < 24; ++c) EXPECT_TRUE(same_float(got[c], qkv[48 + c])) << path << " " << c;
    }
}

struct Block {
    int T, E, H;
    vantrel_test::Tensors w;
    std::vector<float> x;
    Block(int T_, int E_, int H_, bool biases) : T(T_), E(E_), H(H_) {
        w["a.w_qkv"] = randn(size_t(3) * E * E, 1, 0.3f);
        w["a.w_proj"] = randn(size_t(E) * E, 2, 0.3f);
        if (biases) {
            w["a.b_qkv"] = randn(size_t(3) * E, 3);
            w["a.b_proj"] = randn(size_t(E), 4);
        }
        x = randn(size_t(T) * E, 5);
    }
    std::vector<float> get(const char* k) const { auto it = w.find(k); return it == w.end() ? std::vector<float>{} : it->second; }
};

// The layers' values are checked against torch and a numpy model in
// tests/python/test_attention.py. Here: E given or derived from ".w_qkv",
// and scratch areas of the planned size give the bits of none (own buffers).
TEST(AttentionFp32Layer, PlannedScratchGivesTheBitsOfNone) {
    for (bool biases : {true, false})
        for (int embed : {0, 12}) {
            Block b(70, 12, 3, biases);
            auto layer = vantrel_test::make_layer(
                R"({"op": "attention_fp32", "num_heads": 3, "embed_dim": )" + std::to_string(embed) + "}", "a");
            layer->load_weights(vantrel_test::fetch_from(b.w));
            std::vector<float> out(size_t(b.T) * b.E), out2(out.size());
            ASSERT_EQ(vantrel_test::run_layer(*layer, b.x, {12, b.T, 1}, out), "");
            ScratchRequest req;
            layer->plan_scratch({12, b.T, 1}, req);
            ASSERT_EQ(req.bytes[3], uint64_t(b.T) * 12 * 4 * 4);
            std::vector<float> area(req.bytes[3] / 4);
            ExecContext ctx;
            ctx.scratch[3] = BufferView{area.data(), 0, req.bytes[3]};
            TensorView v{b.x.data(), 0, b.x.size() * 4, 12, b.T, 1};
            BufferView o{out2.data(), 0, out2.size() * 4};
            layer->forward(&v, 1, &o, &ctx);
            for (size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(same_float(out[i], out2[i])) << i;
        }
}

// The whole kernel gives the same bits at 1, 2 and 3 threads (its GEMMs
// and core both split work).
TEST(AttentionF32Kernel, ThreadCountDoesNotChangeBits) {
    Block b(130, 96, 4, true);
    const std::vector<float> wq = b.get("a.w_qkv"), wp = b.get("a.w_proj");
    float* pq = pack_f32(wq.data(), 3 * b.E, b.E);
    float* pp = pack_f32(wp.data(), b.E, b.E);
    const int saved = omp_get_max_threads();
    std::vector<float> base;
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        std::vector<float> out(size_t(b.T) * b.E);
        k_attention_f32(b.x.data(), wq.data(), b.get("a.b_qkv").data(), wp.data(), b.get("a.b_proj").data(),
                        out.data(), b.T, b.E, b.H, nullptr, pq, pp, nullptr, true);
        if (base.empty()) base = out;
        for (size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(same_float(out[i], base[i])) << threads << " " << i;
    }
    omp_set_num_threads(saved);
    free_packed_f32(pq);
    free_packed_f32(pp);
}

struct ErrorCase {
    std::string node;      // JSON of the node
    std::string drop;      // tensor to leave out
    std::string resize;    // tensor to give one element too many
    int c;                 // input features
    std::string expected;  // substring of the error
};

// Refusals at construction, load and forward, each naming node and cause.
TEST(AttentionLayers, RefuseBadGeometryAndTensors) {
    const std::string f = R"({"op": "attention_fp32", "num_heads": 2)";
    const std::string q = R"({"op": "attention_int8", "num_heads": 2)";
    const ErrorCase cases[] = {
        {f + R"(, "num_heads": 0})", "", "", 8, "'num_heads' must be at least 1"},
        {f + R"(, "embed_dim": 9})", "", "", 9, "'embed_dim' 9 is not divisible by 'num_heads' 2"},
        {f + "}", "", "a.w_qkv", 8, "not 3*E*E for any embedding size"},
        {f + R"(, "embed_dim": 8})", "", "a.w_qkv", 8, "'a.w_qkv' holds 193 float32 values, expected 3*8*8"},
        {R"({"op": "attention_fp32", "num_heads": 3})", "", "", 8, "embedding size 8"},
        {f + "}", "a.w_qkv", "", 8, "'a.w_qkv' is missing"},
        {f + "}", "", "a.b_qkv", 8, "'a.b_qkv' holds 25 floats, expected 24"},
        {f + "}", "", "", 6, "input has 6 features per token, expected the embedding size 8"},
        {q + "}", "", "a.w_qkv_i8", 8, "not 3*E*E"},
        {q + "}", "", "a.w_qkv_scales", 8, "'a.w_qkv_scales' holds 25 float32 values, expected 24"},
        {q + "}", "", "a.w_proj_i8", 8, "'a.w_proj_i8' holds 65 int8 values, expected 64"},
        {q + "}", "", "", 4, "input has 4 features per token"},
    };
    for (const ErrorCase& e : cases) {
        const int E = 8;
        const bool int8 = e.node.find("int8") != std::string::npos;
        // Byte count of every tensor; contents are zeros (scales 1.0).
        std::map<std::string, size_t> bytes = int8 ? std::map<std::string, size_t>{
            {"a.w_qkv_i8", 3 * E * E}, {"a.w_proj_i8", E * E}, {"a.w_qkv_scales", 4 * 3 * E},
            {"a.w_proj_scales", 4 * E}, {"a.b_qkv", 4 * 3 * E}, {"a.b_proj", 4 * E}}
                                                   : std::map<std::string, size_t>{
            {"a.w_qkv", 4 * 3 * E * E}, {"a.w_proj", 4 * E * E}, {"a.b_qkv", 4 * 3 * E}, {"a.b_proj", 4 * E}};
        if (!e.drop.empty()) bytes.erase(e.drop);
        if (!e.resize.empty()) bytes[e.resize] += e.resize.find("_i8") != std::string::npos ? 1 : 4;
        auto fetch = [&](const std::string& n, std::vector<int>& shape, std::vector<uint8_t>& b) {
            auto it = bytes.find(n);
            if (it == bytes.end()) return false;
            shape.clear();
            b.assign(it->second, 0);
            if (n.find("scales") != std::string::npos)  // scales of 1.0
                for (size_t i = 0; i + 4 <= b.size(); i += 4) b[i + 2] = 0x80, b[i + 3] = 0x3f;
            return true;
        };
        const std::string err = vantrel_test::error_of([&] {
            auto layer = vantrel_test::make_layer(e.node, "a");
            layer->load_weights(fetch);
            std::vector<float> x(size_t(e.c) * 3), out(x.size() + 64);
            TensorView v{x.data(), 0, x.size() * 4, e.c, 3, 1};
            BufferView o{out.data(), 0, out.size() * 4};
            ExecContext ctx;
            layer->forward(&v, 1, &o, &ctx);
        });
        EXPECT_NE(err.find("node 'a'"), std::string::npos) << e.node << " -> " << err;
        EXPECT_NE(err.find(e.expected), std::string::npos) << e.node << " -> " << err;
    }
}


}  // namespace
