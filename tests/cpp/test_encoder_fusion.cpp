// Transformer blocks with their residual adds and exact GELU nodes folded
// into the attention block's and the MLP's products, and the GELU run on the
// product's tiles, give the bits of the separate ops and kernels on every
// path. The attention block's per-head products give the bits of the whole
// QKV product followed by the core.
#include <gtest/gtest.h>
#include <omp.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/cpu_backend/cpu_backend.h"
#include "engine/activation_fusion.h"
#include "engine/executor.h"
#include "engine/residual_fusion.h"
#include "kernels/attention/attention_core.h"
#include "kernels/attention/attention_f32.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/kernel_path.h"
#include "kernel_test_paths.h"
#include "layer_test_util.h"
#include "layers/sequence/seq_gemm_fp32.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

// A pre-norm block (the residual is the add's input 1, the MLP's hidden
// layer has an exact GELU node), then a post-norm attention whose residual is its own
// input and the add's input 0, then a GELU product with a folded add, then
// a GELU product of 6 outputs per token, whose add stays separate (its other
// operand is a declared output).
std::string block(int tokens) {
    return R"({"model":"enc","inputs":[{"name":"x","shape":[1,)" + std::to_string(tokens) +
           R"(,1,16]}],"outputs":[{"name":"z"},{"name":"m"}],"nodes":[
 {"name":"ln1","op":"layernorm_fp32","inputs":["x"],"outputs":["a"]},
 {"name":"at1","op":"attention_fp32","inputs":["a"],"outputs":["b"],"args":{"num_heads":2,"embed_dim":16}},
 {"name":"add1","op":"add_fp32","inputs":["b","x"],"outputs":["h"]},
 {"name":"ln2","op":"layernorm_fp32","inputs":["h"],"outputs":["c"]},
 {"name":"fc1","op":"seqgemm_fp32","inputs":["c"],"outputs":["d0"],"args":{"C_in":16,"C_out":32}},
 {"name":"ge","op":"gelu_erf_fp32","inputs":["d0"],"outputs":["d"]},
 {"name":"fc2","op":"seqgemm_fp32","inputs":["d"],"outputs":["e"],"args":{"C_in":32,"C_out":16}},
 {"name":"add2","op":"add_fp32","inputs":["h","e"],"outputs":["h2"]},
 {"name":"at2","op":"attention_fp32","inputs":["h2"],"outputs":["f"],"args":{"num_heads":4,"embed_dim":16}},
 {"name":"add3","op":"add_fp32","inputs":["h2","f"],"outputs":["h3"],"args":{"relu":1}},
 {"name":"fc3","op":"seqgemm_fp32","inputs":["h3"],"outputs":["g"],"args":{"C_in":16,"C_out":16,"gelu":1}},
 {"name":"add4","op":"add_fp32","inputs":["g","h3"],"outputs":["h4"]},
 {"name":"fc4","op":"seqgemm_fp32","inputs":["h4"],"outputs":["k"],"args":{"C_in":16,"C_out":6,"gelu":1}},
 {"name":"fc5","op":"seqgemm_fp32","inputs":["h4"],"outputs":["m"],"args":{"C_in":16,"C_out":6}},
 {"name":"add5","op":"add_fp32","inputs":["k","m"],"outputs":["z"]}]})";
}

Tensors block_weights() {
    Tensors t;
    uint32_t seed = 21;
    for (const char* ln : {"ln1", "ln2"}) {
        t[std::string(ln) + ".gamma"] = uniform(16, seed++, 0.5f, 1.5f);
        t[std::string(ln) + ".beta"] = uniform(16, seed++);
    }
    for (const char* at : {"at1", "at2"}) {
        t[std::string(at) + ".w_qkv"] = randn(48 * 16, seed++, 0.3f);
        t[std::string(at) + ".b_qkv"] = randn(48, seed++, 0.1f);
        t[std::string(at) + ".w_proj"] = randn(16 * 16, seed++, 0.3f);
        t[std::string(at) + ".b_proj"] = randn(16, seed++, 0.1f);
    }
    const struct { const char* name; int n, k; } fcs[] = {
        {"fc1", 32, 16}, {"fc2", 16, 32}, {"fc3", 16, 16}, {"fc4", 6, 16}, {"fc5", 6, 16}};
    for (const auto& f : fcs) {
        t[std::string(f.name) + ".weight"] = randn(size_t(f.n) * f.k, seed++, 0.3f);
        t[std::string(f.name) + ".bias"] = randn(size_t(f.n), seed++, 0.1f);
    }
    return t;
}

std::vector<float> run_block(int tokens, bool fuse, int& acts, int& adds) {
    const Tensors w = block_weights();
    ArchGraph g = load_arch_text(block(tokens), "enc.json");
    for (auto& l : g.layers) l->load_weights(fetch_from(w));
    acts = fuse ? fuse_product_activations(g) : 0;
    adds = fuse ? fuse_residual_adds(g) : 0;
    GraphExecutor ex;
    ex.prepare(g, &cpu_allocator());
    const std::vector<float> x = randn(size_t(tokens) * 16, 7);
    InputMap in;
    in["x"] = InputTensor{x.data(), {tokens, 1, 16}, "float32", {}};
    OutputMap out = ex.run(in);
    const OutputTensor& z = out.at("z");
    const float* p = static_cast<const float*>(z.data);
    return std::vector<float>(p, p + z.bytes.size() / 4);
}

TEST(EncoderFusion, FoldedAddsMatchSeparateOpsOnEveryPath) {
    for (int tokens : {1, 29}) {
        std::vector<float> first;
        for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
            if (!kernel_path_supported(path)) continue;
            ScopedKernelPath scope(path);
            const std::string label = std::to_string(tokens) + " tokens, path " + std::to_string(int(path));
            int acts = 0, adds = 0;
            const std::vector<float> sep = run_block(tokens, false, acts, adds);
            const std::vector<float> fold = run_block(tokens, true, acts, adds);
            EXPECT_EQ(acts, 1) << label;
            EXPECT_EQ(adds, 4) << label;
            ASSERT_EQ(sep.size(), size_t(tokens) * 6) << label;
            EXPECT_EQ(std::memcmp(sep.data(), fold.data(), sep.size() * 4), 0) << label;
            if (first.empty()) first = sep;
            EXPECT_EQ(std::memcmp(first.data(), sep.data(), sep.size() * 4), 0) << label << " against the first path";
        }
    }
}

// The layer's GELU (tanh form, or a folded exact GELU node) on the
// product's tiles against the path's sequence kernel and its GELU as a pass
// of its own over the whole output. 31 rows: tiles of 12, 12 and 7 rows.
TEST(EncoderFusion, TileGeluMatchesTheSeparatePass) {
    const int T = 31, K = 24, N = 68;
    std::vector<float> x = randn(size_t(T) * K, 1), w = randn(size_t(N) * K, 2, 0.3f), b = randn(N, 3);
    for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon})
    for (bool erf : {false, true}) {
        if (!kernel_path_supported(path)) continue;
        ScopedKernelPath scope(path);
        auto l = make_layer(erf ? R"({"op":"seqgemm_fp32","C_in":24,"C_out":68})"
                                : R"({"op":"seqgemm_fp32","C_in":24,"C_out":68,"gelu":true})");
        if (erf) {
            ASSERT_TRUE(dynamic_cast<SeqGemmFp32&>(*l).fuse_gelu_erf("ge"));
        }
        l->load_weights(fetch_from({{"n1.weight", w}, {"n1.bias", b}}));
        std::vector<float> got(size_t(T) * N), want(got.size());
        TensorView v{x.data(), 0, x.size() * 4, K, T, 1};
        BufferView o{got.data(), 0, got.size() * 4};
        ExecContext ctx{};
        l->forward(&v, 1, &o, &ctx);
        const auto& s = dynamic_cast<SeqGemmFp32&>(*l);
        cpu_backend().k_seq_gemm_f32(x.data(), w.data(), b.data(), want.data(), T, K, N, !erf,
                                     static_cast<const float*>(s.packed.data), nullptr);
        if (erf) cpu_backend().k_gelu_erf_f32(want.data(), want.data(), T * N, nullptr);
        EXPECT_EQ(std::memcmp(want.data(), got.data(), got.size() * 4), 0) << int(path) << (erf ? " erf" : " tanh");
    }
}

// Whole QKV product, core and projection, as separate kernel calls.
std::vector<float> attention_in_steps(const std::vector<float>& x, const float* bq, const float* bp,
                                      const std::vector<float>& bias_qkv, const std::vector<float>& bias_proj,
                                      int T, int E, int H, const float* mask) {
    std::vector<float> qkv(size_t(T) * 3 * E), heads(size_t(T) * E, 0.0f), out(heads.size());
    gemm_f32(x.data(), bq, bias_qkv.data(), qkv.data(), false, T, E, 3 * E, false);
    attention_core_f32(qkv.data(), heads.data(), T, E, H, mask);
    gemm_f32(heads.data(), bp, bias_proj.data(), out.data(), false, T, E, E, false);
    return out;
}

TEST(EncoderFusion, PerHeadProductsMatchTheWholeProductOnEveryPath) {
    struct Case { int T, E, H; bool masked; };
    const int saved = omp_get_max_threads();
    for (const Case& c : {Case{37, 64, 2, false}, Case{70, 64, 4, true}, Case{130, 96, 3, false}, Case{5, 32, 2, false}}) {
        const std::vector<float> x = randn(size_t(c.T) * c.E, 1), wq = randn(size_t(3 * c.E) * c.E, 2, 0.2f);
        const std::vector<float> wp = randn(size_t(c.E) * c.E, 3, 0.2f), bq = randn(size_t(3 * c.E), 4);
        const std::vector<float> bp = randn(size_t(c.E), 5);
        std::vector<float> mask(size_t(c.T), 1.0f);
        for (int t = 3; t < c.T; t += 4) mask[size_t(t)] = 0.0f;
        const float* m = c.masked ? mask.data() : nullptr;
        for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
            if (!kernel_path_supported(path)) continue;
            ScopedKernelPath scope(path);
            float* pq = pack_f32(wq.data(), 3 * c.E, c.E);
            float* pp = pack_f32(wp.data(), c.E, c.E);
            const std::vector<float> want = attention_in_steps(x, pq, pp, bq, bp, c.T, c.E, c.H, m);
            for (int threads : {1, 2}) {
                omp_set_num_threads(threads);
                std::vector<float> got(want.size());
                attention_f32_masked(x.data(), wq.data(), bq.data(), wp.data(), bp.data(), got.data(), c.T, c.E, c.H,
                                     nullptr, pq, pp, nullptr, false, m);
                EXPECT_EQ(std::memcmp(want.data(), got.data(), got.size() * 4), 0)
                    << "T=" << c.T << " E=" << c.E << " H=" << c.H << " path " << int(path) << " threads " << threads;
            }
            omp_set_num_threads(saved);
            free_packed_f32(pq);
            free_packed_f32(pp);
        }
    }
}

}  // namespace
