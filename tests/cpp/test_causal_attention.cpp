// Causal attention with rotary encoding: hand-checked facts, incremental calls
// against one full call, thread counts and kernel paths bit for bit, and the
// layer's refusals.
#include <gtest/gtest.h>
#include <omp.h>

#include <climits>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "engine/allocator.h"
#include "kernels/attention/causal_attention_f32.h"
#include "kernel_test_paths.h"
#include "layers/sequence/causal_attn_core_fp32.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;
using vantrel_test::same_float;

namespace {

struct Geo {
    int hq, hkv, d;
    float theta = 10000.0f;
};

struct Sequence {
    Geo g;
    int tokens;
    std::vector<float> q, k, v;
    Sequence(Geo geo, int n, unsigned seed)
        : g(geo), tokens(n), q(randn(size_t(n) * geo.hq * geo.d, seed)),
          k(randn(size_t(n) * geo.hkv * geo.d, seed + 1)), v(randn(size_t(n) * geo.hkv * geo.d, seed + 2)) {}
};

// Runs the sequence through `fn` in consecutive calls of the given sizes;
// returns all output rows and leaves the cache in `cache`.
std::vector<float> run_chunks(KCausalAttentionF32 fn, const Sequence& s, const std::vector<int>& chunks,
                              int capacity, std::vector<float>* cache_out = nullptr) {
    const Geo& g = s.g;
    const int64_t qw = int64_t(g.hq) * g.d, kw = int64_t(g.hkv) * g.d;
    std::vector<float> cache(size_t(2 * capacity * kw), -7.0f), out(size_t(s.tokens * qw), -9.0f);
    int pos = 0;
    for (int n : chunks) {
        std::vector<float> work(size_t(causal_attention_work_floats(n, pos, g.hq, g.hkv, g.d)), 5.0f);
        fn(s.q.data() + pos * qw, s.k.data() + pos * kw, s.v.data() + pos * kw, cache.data(), pos, capacity,
           out.data() + pos * qw, n, g.theta, g.hq, g.hkv, g.d, pos, 0, work.data(), nullptr);
        pos += n;
    }
    if (cache_out) *cache_out = cache;
    return out;
}

std::vector<std::pair<std::string, KCausalAttentionF32>> kernel_paths() {
#if defined(__x86_64__)
    return vantrel_test::runnable_paths<KCausalAttentionF32>(&k_causal_attention_f32, &k_causal_attention_f32_avx2,
                                                             &k_causal_attention_f32_avx512, nullptr);
#elif defined(__aarch64__)
    return vantrel_test::runnable_paths<KCausalAttentionF32>(&k_causal_attention_f32, nullptr, nullptr,
                                                             &k_causal_attention_f32_neon);
#else
    return vantrel_test::runnable_paths<KCausalAttentionF32>(&k_causal_attention_f32, nullptr, nullptr, nullptr);
#endif
}

struct Case {
    Geo g;
    int tokens;
    std::vector<int> chunks;
};

class CausalKernel : public ::testing::TestWithParam<Case> {};

// Values are checked against torch in tests/python/test_causal_attention.py.
// Here every path's bits (outputs and cache) equal the portable one's, and
// chunked calls give the bits of one full call.
TEST_P(CausalKernel, EveryPathAndChunkingGiveThePortableBits) {
    const Case& c = GetParam();
    Sequence s(c.g, c.tokens, 17u * c.tokens + c.g.d);
    std::vector<float> portable_full, portable_cache;
    for (const auto& [path, fn] : kernel_paths()) {
        std::vector<float> cache;
        const std::vector<float> full = run_chunks(fn, s, {c.tokens}, c.tokens + 3, &cache);
        const std::vector<float> parts = run_chunks(fn, s, c.chunks, c.tokens + 3);
        for (size_t i = 0; i < full.size(); ++i)
            ASSERT_TRUE(same_float(full[i], parts[i])) << path << " chunked, element " << i;
        if (path == "portable") {
            portable_full = full;
            portable_cache = cache;
            continue;
        }
        for (size_t i = 0; i < full.size(); ++i)
            ASSERT_TRUE(same_float(full[i], portable_full[i])) << path << " element " << i;
        for (size_t i = 0; i < cache.size(); ++i)
            ASSERT_TRUE(same_float(cache[i], portable_cache[i])) << path << " cache element " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CausalKernel,
    ::testing::Values(Case{{1, 1, 1}, 3, {1, 1, 1}},            // d = 1: nothing to rotate
                      Case{{2, 1, 5}, 6, {2, 1, 3}},            // odd d, grouped
                      Case{{8, 2, 16}, 9, {4, 4, 1}},           // Hq = 8, Hkv = 2
                      Case{{4, 4, 13}, 7, {3, 4}},              // d mod 8 tail
                      Case{{4, 2, 64, 500000.0f}, 12, {5, 1, 1, 5}},
                      Case{{3, 1, 40}, 5, {1, 1, 1, 1, 1}},
                      Case{{6, 3, 64}, 24, {20, 4}},            // heads of a group in pairs
                      Case{{9, 3, 64}, 40, {33, 7}}));          // in threes, SmolLM2's grouping

// Hand-checked facts: position 0 leaves queries and keys unchanged, one token
// attends to itself only (so each query head returns its group's value), and
// for odd d the last element of each head is not rotated.
TEST(CausalKernelFacts, FirstTokenGroupsAndOddDim) {
    for (const auto& [path, fn] : kernel_paths()) {
        const Geo g{8, 2, 7};
        Sequence s(g, 3, 99);
        std::vector<float> cache;
        const std::vector<float> out = run_chunks(fn, s, {1, 2}, 3, &cache);
        const int kw = g.hkv * g.d;
        for (int h = 0; h < g.hq; ++h)
            for (int c = 0; c < g.d; ++c)
                EXPECT_FLOAT_EQ(out[h * g.d + c], s.v[(h / 4) * g.d + c]) << path << " head " << h;
        // The cache is [Hkv][capacity 3][d] keys, then the values alike.
        for (int h = 0; h < g.hkv; ++h)
            for (int c = 0; c < g.d; ++c) {
                EXPECT_EQ(cache[h * 3 * g.d + c], s.k[h * g.d + c]) << path << " key of token 0 unrotated";
                EXPECT_EQ(cache[3 * kw + h * 3 * g.d + c], s.v[h * g.d + c]) << path << " value of token 0";
            }
        for (int t = 1; t < 3; ++t)
            for (int h = 0; h < g.hkv; ++h) {
                const int at = (h * 3 + t) * g.d + g.d - 1, last = (t * g.hkv + h) * g.d + g.d - 1;
                EXPECT_EQ(cache[at], s.k[last]) << path << " token " << t;
                EXPECT_NE(cache[at - 1], s.k[last - 1]) << path << " token " << t;
                EXPECT_EQ(cache[3 * kw + at], s.v[last]) << path << " token " << t;
            }
    }
}

TEST(CausalKernelFacts, ThreadCountDoesNotChangeBits) {
    const Geo g{4, 2, 32};
    Sequence s(g, 48, 5);
    const int saved = omp_get_max_threads();
    std::vector<std::vector<float>> outs;
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        outs.push_back(run_chunks(k_causal_attention_f32, s, {40, 8}, 48));
        for (const auto& [path, fn] : kernel_paths())
            if (path != "portable") outs.push_back(run_chunks(fn, s, {40, 8}, 48));
    }
    omp_set_num_threads(saved);
    for (size_t r = 1; r < outs.size(); ++r)
        for (size_t i = 0; i < outs[0].size(); ++i) ASSERT_TRUE(same_float(outs[0][i], outs[r][i])) << r << " " << i;
}

// --- the layer ---------------------------------------------------------

std::unique_ptr<ILayer> causal_layer(int hq, int hkv, int d, const std::string& extra = "") {
    return vantrel_test::make_layer(R"({"op":"causal_attn_core_fp32","args":{"num_q_heads":)" + std::to_string(hq) +
                                        R"(,"num_kv_heads":)" + std::to_string(hkv) + R"(,"head_dim":)" +
                                        std::to_string(d) + extra + "}}",
                                    "attn");
}

// Runs `layer` on rows [pos, pos + n) of `s`; returns the error text.
std::string step(ILayer& layer, const Sequence& s, int pos, int n, std::vector<float>& out) {
    const int64_t qw = int64_t(s.g.hq) * s.g.d, kw = int64_t(s.g.hkv) * s.g.d;
    std::vector<float> q(s.q.begin() + pos * qw, s.q.begin() + (pos + n) * qw);
    std::vector<float> k(s.k.begin() + pos * kw, s.k.begin() + (pos + n) * kw);
    std::vector<float> v(s.v.begin() + pos * kw, s.v.begin() + (pos + n) * kw);
    TensorView in[3] = {{q.data(), 0, q.size() * 4, int32_t(qw), n, 1},
                        {k.data(), 0, k.size() * 4, int32_t(kw), n, 1},
                        {v.data(), 0, v.size() * 4, int32_t(kw), n, 1}};
    out.assign(size_t(n * qw), 0.0f);
    BufferView o{out.data(), 0, out.size() * 4};
    ExecContext ctx;
    ctx.position = pos;
    return vantrel_test::error_of([&] { layer.forward(in, 3, &o, &ctx); });
}

// Token by token through the layer (releasing its work memory between
// steps) gives the bits of one full kernel call.
TEST(CausalLayer, StepsEqualOneFullCall) {
    const Geo g{4, 2, 8};
    Sequence s(g, 6, 3);
    auto layer = causal_layer(4, 2, 8, R"(,"max_seq_len":16)");
    EXPECT_EQ(dynamic_cast<DeclaresCacheCapacity&>(*layer).declared_cache_capacity(), 16);
    layer->reserve_state(6, cpu_allocator());
    const std::vector<float> full = run_chunks(k_causal_attention_f32, s, {6}, 6);
    std::vector<float> got, out;
    for (int p = 0; p < 6; ++p) {
        ASSERT_EQ(step(*layer, s, p, 1, out), "");
        got.insert(got.end(), out.begin(), out.end());
        layer->release_host_weights();
    }
    for (size_t i = 0; i < full.size(); ++i) EXPECT_TRUE(same_float(got[i], full[i])) << i;
}

struct ErrorCase {
    const char* what;
    std::string (*run)();
    const char* message;
};

std::string ctor(int hq, int hkv, int d, const std::string& extra = "") {
    return vantrel_test::error_of([&] { causal_layer(hq, hkv, d, extra); });
}

// A layer of Hq = 2, Hkv = 1, d = 4 with a cache of `cap`, fed the given
// widths and token counts at `pos`.
std::string feed(int cap, int pos, int qc, int kc, int vc, int tq, int tk, int tv, int inputs = 3,
                 int64_t out_floats = -1, bool reserve = true) {
    auto layer = causal_layer(2, 1, 4);
    if (reserve) layer->reserve_state(cap, cpu_allocator());
    std::vector<float> q(size_t(qc * tq), 1.0f), k(size_t(kc * tk), 1.0f), v(size_t(vc * tv), 1.0f);
    TensorView in[3] = {{q.data(), 0, q.size() * 4, qc, tq, 1},
                        {k.data(), 0, k.size() * 4, kc, tk, 1},
                        {v.data(), 0, v.size() * 4, vc, tv, 1}};
    std::vector<float> out(size_t(out_floats < 0 ? qc * tq : out_floats));
    BufferView o{out.data(), 0, out.size() * 4};
    ExecContext ctx;
    ctx.position = pos;
    return vantrel_test::error_of([&] { layer->forward(in, inputs, &o, &ctx); });
}

std::string reserve(int hkv_d, int cap) {
    auto layer = causal_layer(1, 1, hkv_d);
    return vantrel_test::error_of([&] { layer->reserve_state(cap, cpu_allocator()); });
}

class CausalLayerErrors : public ::testing::TestWithParam<ErrorCase> {};
TEST_P(CausalLayerErrors, Refused) {
    const std::string err = GetParam().run();
    EXPECT_NE(err.find(GetParam().message), std::string::npos) << GetParam().what << ": " << err;
    EXPECT_NE(err.find("node 'attn'"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CausalLayerErrors,
    ::testing::Values(
        ErrorCase{"no q heads", [] { return ctor(0, 1, 4); }, "'num_q_heads' must be at least 1"},
        ErrorCase{"no kv heads", [] { return ctor(2, 0, 4); }, "'num_kv_heads' must be at least 1"},
        ErrorCase{"not a multiple", [] { return ctor(6, 4, 4); }, "must be a multiple of 'num_kv_heads'"},
        ErrorCase{"no head dim", [] { return ctor(2, 1, 0); }, "'head_dim' must be at least 1"},
        ErrorCase{"width overflow", [] { return ctor(65536, 1, 65536); }, "exceed a tensor width"},
        ErrorCase{"bad theta", [] { return ctor(2, 1, 4, R"(,"rope_theta":0)"); }, "'rope_theta' must be finite"},
        ErrorCase{"bad max_seq_len", [] { return ctor(2, 1, 4, R"(,"max_seq_len":-1)"); }, "'max_seq_len'"},
        ErrorCase{"two inputs", [] { return feed(8, 0, 8, 4, 4, 1, 1, 1, 2); }, "needs 3 inputs, got 2"},
        ErrorCase{"q width", [] { return feed(8, 0, 4, 4, 4, 1, 1, 1); }, "input 0 (queries) has width 4, expected 8"},
        ErrorCase{"k width", [] { return feed(8, 0, 8, 8, 4, 1, 1, 1); }, "input 1 (keys) has width 8, expected 4"},
        ErrorCase{"v width", [] { return feed(8, 0, 8, 4, 3, 1, 1, 1); }, "input 2 (values) has width 3"},
        ErrorCase{"token counts", [] { return feed(8, 0, 8, 4, 4, 2, 2, 3); }, "token counts differ"},
        ErrorCase{"overflow", [] { return feed(4, 3, 8, 4, 4, 2, 2, 2); },
                  "position 3 + 2 tokens exceeds the KV cache capacity 4"},
        ErrorCase{"no cache", [] { return feed(0, 0, 8, 4, 4, 1, 1, 1, 3, -1, false); },
                  "position 0 + 1 tokens exceeds the KV cache capacity 0"},
        ErrorCase{"negative position", [] { return feed(8, -1, 8, 4, 4, 1, 1, 1); }, "position -1 is negative"},
        ErrorCase{"small output", [] { return feed(8, 0, 8, 4, 4, 2, 2, 2, 3, 15); }, "output buffer holds 60 bytes"},
        ErrorCase{"cache size overflow", [] { return reserve(INT_MAX, INT_MAX); }, "is too large"},
        ErrorCase{"cache allocation", [] { return reserve(1 << 20, 1 << 22); }, "cannot allocate a KV cache"}));

}  // namespace
