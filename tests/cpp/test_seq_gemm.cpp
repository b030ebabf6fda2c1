// Sequence matrix products: the single-token int8 kernel on every path
// against an int64 reference (exactly), the general float kernel against a
// double x*W^T + b + GELU, the int8 layer against a scalar emulation of the
// dynamic quantisation, the fallbacks, thread counts and load/forward errors.
#include <gtest/gtest.h>
#include <omp.h>

#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "engine/cpu_backend/cpu_backend.h"
#include "kernels/elementwise/activation.h"
#include "kernels/gemm/fake_quantize_u8.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/kernel_path.h"
#include "kernels/quantize.h"
#include "kernels/gemm/seq_gemm_f32.h"
#include "kernels/gemm/seq_gemm_f32_alt.h"
#include "layers/sequence/seq_gemm_fp32.h"
#include "layers/sequence/seq_gemm_int8.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;
using vantrel_test::error_of;
using vantrel_test::make_layer;

namespace {

std::vector<std::pair<std::string, KSeqGemmF32Alt>> alt_paths() {
    std::vector<std::pair<std::string, KSeqGemmF32Alt>> p = {{"portable", &k_seq_gemm_f32_alt}};
#if defined(__x86_64__)
    if (kernel_path_supported(KernelPath::Avx2)) p.emplace_back("avx2", &k_seq_gemm_f32_alt_avx2);
    if (kernel_path_supported(KernelPath::Avx512)) p.emplace_back("avx512", &k_seq_gemm_f32_alt_avx512);
#endif
#if defined(__aarch64__)
    p.emplace_back("neon", &k_seq_gemm_f32_alt_neon);
#endif
    return p;
}

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// Symmetric row quantisation as the engine defines it: half-to-even in
// whole blocks of 16, half-away in the tail.
float emulate_quantize(const float* x, int64_t n, int8_t* q) {
    float amax = 0.0f;
    for (int64_t i = 0; i < n; ++i) amax = std::fmax(amax, std::fabs(x[i]));
    const bool tiny = amax < 1.27e-6f;
    const float inv = tiny ? 1e8f : 127.0f / amax, scale = tiny ? 1e-8f : amax * 0.007874016f;
    for (int64_t i = 0; i < n; ++i) {
        float v = i < n / 16 * 16 ? std::nearbyint(x[i] * inv) : std::round(x[i] * inv);
        q[i] = int8_t(std::fmin(127.0f, std::fmax(-128.0f, v)));
    }
    return scale;
}

int32_t dot_reference(const int8_t* a, const int8_t* b, int64_t k) {
    int64_t s = 0;
    for (int64_t i = 0; i < k; ++i) s += int64_t(a[i]) * b[i];
    return int32_t(uint32_t(uint64_t(s)));  // the kernels' sums wrap modulo 2^32
}

double gelu_ref(double x) { return 0.5 * x * (1.0 + std::tanh(0.7978845608028654 * (x + 0.044715 * x * x * x))); }

// --- the single-token kernel ---------------------------------------------

class SeqGemmAltKernel : public ::testing::TestWithParam<std::tuple<int, int, bool>> {};

TEST_P(SeqGemmAltKernel, EveryPathMatchesIntegerReferenceExactly) {
    const auto [K, N, extreme] = GetParam();
    std::vector<float> x = randn(size_t(K), unsigned(K * 7 + N), 2.0f), scale = randn(size_t(N), 5, 0.01f),
                       bias = randn(size_t(N), 6);
    std::vector<int8_t> w(size_t(K) * N);
    std::mt19937 g(unsigned(K + N));
    for (int8_t& v : w) v = extreme ? int8_t(-128) : int8_t(int(g() % 256) - 128);
    if (extreme) std::fill(x.begin(), x.end(), 3.0f);  // codes 127: the sum wraps for large K
    std::vector<int8_t> qx(static_cast<size_t>(K));
    const float sx = emulate_quantize(x.data(), K, qx.data());
    for (bool with_bias : {false, true}) {
        std::vector<float> want(static_cast<size_t>(N));
        for (int n = 0; n < N; ++n) {
            want[n] = (sx * scale[n]) * float(dot_reference(qx.data(), w.data() + int64_t(n) * K, K));
            if (with_bias) want[n] = want[n] + bias[n];
        }
        for (auto& [path, fn] : alt_paths()) {
            std::vector<float> y(size_t(N), -7.0f);
            fn(x.data(), w.data(), scale.data(), with_bias ? bias.data() : nullptr, y.data(), K, N, nullptr);
            for (int n = 0; n < N; ++n) ASSERT_EQ(bits(y[n]), bits(want[n])) << path << " n=" << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SeqGemmAltKernel,
                         ::testing::Values(std::make_tuple(1, 3, false), std::make_tuple(7, 5, false),
                                           std::make_tuple(8, 2, false), std::make_tuple(17, 9, false),
                                           std::make_tuple(64, 4, false), std::make_tuple(89, 3, false),
                                           std::make_tuple(256, 17, false), std::make_tuple(1000, 33, false),
                                           std::make_tuple(300, 2, true), std::make_tuple(140001, 2, true)));

TEST(SeqGemmAltKernel, TeamSizeDoesNotChangeResults) {
    const int K = 333, N = 101;
    std::vector<float> x = randn(K, 1), s = randn(N, 2, 0.01f);
    std::vector<int8_t> w(size_t(K) * N);
    for (size_t i = 0; i < w.size(); ++i) w[i] = int8_t(i * 37 % 251);
    const int saved = omp_get_max_threads();
    for (auto& [path, fn] : alt_paths()) {
        std::vector<float> first;
        for (int threads : {1, 2, 3}) {
            omp_set_num_threads(threads);
            std::vector<float> y(N);
            fn(x.data(), w.data(), s.data(), nullptr, y.data(), K, N, nullptr);
            if (first.empty()) first = y;
            EXPECT_EQ(std::memcmp(first.data(), y.data(), N * 4), 0) << path << " threads=" << threads;
        }
        std::vector<float> y(N);
        const auto kernel = fn;  // a structured binding cannot be named inside the region (clang)
#pragma omp parallel num_threads(2)
        if (omp_get_thread_num() == 0) kernel(x.data(), w.data(), s.data(), nullptr, y.data(), K, N, nullptr);
        EXPECT_EQ(std::memcmp(first.data(), y.data(), N * 4), 0) << path << " inside a region";
    }
    omp_set_num_threads(saved);
}

// The general kernel pairs each path's GEMM and GELU with that path's block.
TEST(SeqGemmF32Kernel, EveryPathMatchesPortableBits) {
    using Pack = float* (*)(const float*, int32_t, int32_t);
    std::vector<std::tuple<std::string, Pack, KSeqGemmF32>> paths = {{"portable", &pack_f32_portable, &k_seq_gemm_f32}};
#if defined(__x86_64__)
    if (kernel_path_supported(KernelPath::Avx2)) paths.emplace_back("avx2", &pack_f32_avx2, &k_seq_gemm_f32_avx2);
    if (kernel_path_supported(KernelPath::Avx512))
        paths.emplace_back("avx512", &pack_f32_avx512, &k_seq_gemm_f32_avx512);
#endif
#if defined(__aarch64__)
    paths.emplace_back("neon", &pack_f32_neon, &k_seq_gemm_f32_neon);
#endif
    // The second shape is one token over enough weights to share their
    // column panels between threads.
    for (auto [T, K, N] : {std::array<int, 3>{11, 37, 23}, {1, 256, 203}}) {
        std::vector<float> x = randn(T * K, 3), w = randn(N * K, 4), b = randn(N, 5);
        std::vector<float> want(T * N);
        for (auto& [path, pack, fn] : paths) {
            float* bp = pack(w.data(), N, K);
            std::vector<float> y(T * N);
            fn(x.data(), w.data(), b.data(), y.data(), T, K, N, true, bp, nullptr);
            free_packed_f32(bp);
            if (path == "portable") {
                want = y;
                for (int i = 0; i < T * N; ++i) {
                    double acc = b[i % N];
                    for (int k = 0; k < K; ++k) acc += double(x[i / N * K + k]) * w[i % N * K + k];
                    EXPECT_NEAR(y[i], gelu_ref(acc), 1e-4 * (1 + std::fabs(acc))) << i;
                }
            }
            EXPECT_EQ(std::memcmp(want.data(), y.data(), want.size() * 4), 0) << path;
        }
    }
}

// --- the layers -------------------------------------------------------------

std::string node(const char* op, int K, int N, bool gelu, bool dq = false, bool step_int8 = false) {
    return std::string("{\"op\":\"") + op + "\",\"C_in\":" + std::to_string(K) + ",\"C_out\":" + std::to_string(N) +
           ",\"gelu\":" + (gelu ? "true" : "false") + ",\"dynamic_quantize\":" + (dq ? "1" : "0") +
           (step_int8 ? ",\"step_int8\":true}" : "}");
}

std::vector<float> run(ILayer& l, std::vector<float>& x, int K, int T, int N, ExecContext ctx = {}) {
    std::vector<float> y(size_t(T) * N, -9.0f);
    TensorView v{x.data(), 0, x.size() * 4, K, T, 1};
    BufferView o{y.data(), 0, y.size() * 4};
    Shape3 s = l.forward(&v, 1, &o, &ctx);
    EXPECT_EQ(s, (Shape3{N, T, 1}));
    return y;
}

// Makes a CPU table without slot 17 the active backend for a scope.
struct NoSingleTokenKernel {
    Backend b = cpu_backend();
    std::vector<const Backend*> saved = backend_registry();
    NoSingleTokenKernel() {
        b.k_name = "cpu-no-slot-17";
        b.k_seq_gemm_f32_alt = nullptr;
        backend_registry().push_back(&b);
        set_backend(b.k_name);
    }
    ~NoSingleTokenKernel() {
        backend_registry() = saved;
        set_backend("cpu");
    }
};

// The float layer's values are checked against torch in tests/python/test_seq_gemm.py.
TEST(SeqGemmFp32Layer, DynamicQuantizeUsesRestoredActivations) {
    const int T = 4, K = 6, N = 3;
    std::vector<float> x = randn(T * K, 1), w = randn(N * K, 2);
    auto l = make_layer(node("seqgemm_fp32", K, N, false, true));
    l->load_weights(serve({{"n1.weight", raw(w)}}));
    std::vector<float> fq = x;
    fake_quantize_u8(fq.data(), T * K);
    std::vector<float> y = run(*l, x, K, T, N);
    for (int i = 0; i < T * N; ++i) {
        double acc = 0;
        for (int k = 0; k < K; ++k) acc += double(fq[i / N * K + k]) * w[i % N * K + k];
        EXPECT_NEAR(y[i], acc, 1e-5 * (1 + std::fabs(acc)));
    }
}

TEST(SeqGemmFp32Layer, ZeroRowAndRoundingOfTheSingleTokenRows) {
    std::vector<float> w = {1.0f, -2.0f, 0.5f, 4.0f, 0, 0, 0, 0};
    auto l = make_layer(node("seqgemm_fp32", 4, 2, false, false, true));
    l->load_weights(serve({{"n1.weight", raw(w)}, {"n1.bias", raw(std::vector<float>{0.25f, -3.0f})}}));
    auto& s = dynamic_cast<SeqGemmFp32&>(*l);
    // inv = 127/4 = 31.75: 31.75 -> 32, -63.5 -> -64 (half away), 15.875 -> 16.
    EXPECT_EQ(s.token_rows, (std::vector<int8_t>{32, -64, 16, 127, 0, 0, 0, 0}));
    EXPECT_EQ(s.token_scales[0], 4.0f * 0.007874016f);
    EXPECT_EQ(s.token_scales[1], 1e-8f);
    std::vector<float> x = {0.3f, -1.0f, 2.0f, 0.7f};
    std::vector<float> y = run(*l, x, 4, 1, 2);
    EXPECT_EQ(y[1], -3.0f);  // a zero row gives exactly its bias
}

// With slot 17 empty one token takes the general path: the float layer
// becomes the float GEMM and the int8 layer the dynamic GEMM.
TEST(SeqGemmLayers, SingleTokenFallsBackWithoutSlot17) {
    const int K = 19, N = 6;
    std::vector<float> x = randn(K, 3), w = randn(N * K, 4);
    auto f = make_layer(node("seqgemm_fp32", K, N, false, false, true));
    f->load_weights(serve({{"n1.weight", raw(w)}}));
    std::vector<float> with_slot = run(*f, x, K, 1, N), without;
    {
        NoSingleTokenKernel guard;
        without = run(*f, x, K, 1, N);
    }
    double max_slot_err = 0;
    for (int n = 0; n < N; ++n) {
        double acc = 0;
        for (int k = 0; k < K; ++k) acc += double(x[k]) * w[n * K + k];
        EXPECT_NEAR(without[n], acc, 1e-5 * (1 + std::fabs(acc)));
        max_slot_err = std::max(max_slot_err, std::fabs(with_slot[n] - acc));
    }
    EXPECT_GT(max_slot_err, 1e-6);  // the int8 rows were used while slot 17 was there
}

class SeqGemmInt8Layer : public ::testing::TestWithParam<std::tuple<int, int, int, bool, bool>> {};

TEST_P(SeqGemmInt8Layer, MatchesDynamicQuantisationEmulationExactly) {
    const auto [T, K, N, gelu, drop_slot17] = GetParam();
    std::vector<float> x = randn(size_t(T) * K, unsigned(T + K)), s = randn(N, 2, 0.01f), b = randn(N, 3);
    if (T > 1) std::fill(x.begin() + K, x.begin() + 2 * K, 0.0f);  // an all-zero row: scale 1e-8
    std::vector<int8_t> q(size_t(N) * K);
    for (size_t i = 0; i < q.size(); ++i) q[i] = int8_t(int(i * 71 % 256) - 128);
    auto l = make_layer(node("seqgemm_int8", K, N, gelu));
    l->load_weights(serve({{"n1.weight_i8", raw(q)}, {"n1.w_scales", raw(s)}, {"n1.bias", raw(b)}}));
    std::vector<float> y;
    if (drop_slot17) {
        NoSingleTokenKernel guard;
        y = run(*l, x, K, T, N);
    } else {
        y = run(*l, x, K, T, N);
    }
    std::vector<float> want(size_t(T) * N);
    std::vector<int8_t> qx(K);
    for (int m = 0; m < T; ++m) {
        const float sm = emulate_quantize(x.data() + m * K, K, qx.data());
        for (int n = 0; n < N; ++n) {
            const float acc = float(dot_reference(qx.data(), q.data() + n * K, K));
            want[m * N + n] = T == 1 && !drop_slot17 ? (sm * s[n]) * acc + b[n] : (acc * s[n]) * sm + b[n];
        }
    }
    if (gelu) k_gelu_f32(want.data(), int32_t(want.size()), nullptr);
    for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(bits(y[i]), bits(want[i])) << i;
}

INSTANTIATE_TEST_SUITE_P(Shapes, SeqGemmInt8Layer,
                         ::testing::Values(std::make_tuple(1, 70, 9, false, false), std::make_tuple(1, 70, 9, true, true),
                                           std::make_tuple(2, 3, 12, false, false), std::make_tuple(10, 37, 21, true, false),
                                           std::make_tuple(9, 130, 8, false, false)));

TEST(SeqGemmLayers, ThreadCountDoesNotChangeResults) {
    // T*K*N above the engines' parallel thresholds; T*N above the GELU's,
    // and not a whole number of its 4-element groups.
    const int T = 21, K = 256, N = 1001;
    std::vector<float> x = randn(T * K, 1), w = randn(N * K, 2, 0.05f), s = randn(N, 3, 0.01f);
    std::vector<int8_t> q(size_t(N) * K);
    for (size_t i = 0; i < q.size(); ++i) q[i] = int8_t(i * 13 % 256);
    auto f = make_layer(node("seqgemm_fp32", K, N, true)), i8 = make_layer(node("seqgemm_int8", K, N, true));
    f->load_weights(serve({{"n1.weight", raw(w)}}));
    i8->load_weights(serve({{"n1.weight_i8", raw(q)}, {"n1.w_scales", raw(s)}}));
    const int saved = omp_get_max_threads();
    std::vector<float> first[2][2];
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        for (int layer = 0; layer < 2; ++layer)
            for (int tokens : {1, T}) {
                std::vector<float> y = run(layer ? *i8 : *f, x, K, tokens, N);
                auto& ref = first[layer][tokens == T];
                if (ref.empty()) ref = y;
                EXPECT_EQ(std::memcmp(ref.data(), y.data(), y.size() * 4), 0) << layer << " " << threads;
            }
    }
    omp_set_num_threads(saved);
}

TEST(SeqGemmLayers, HugePageHintFollowsDecoderNames) {
    for (auto [name, hint] : std::vector<std::pair<std::string, bool>>{
             {"layers.3.mlp.fc1", true}, {"lm_head", true}, {"lm_head2", false}, {"layer.0", false}}) {
        auto f = make_layer(node("seqgemm_fp32", 2, 2, false), name), i = make_layer(node("seqgemm_int8", 2, 2, false), name);
        EXPECT_EQ(dynamic_cast<SeqGemmFp32&>(*f).huge_page_hint, hint) << name;
        EXPECT_EQ(dynamic_cast<SeqGemmInt8&>(*i).huge_page_hint, hint) << name;
    }
}

TEST(SeqGemmLayers, PlanScratchSizesTheDynamicBuffers) {
    auto l = make_layer(node("seqgemm_int8", 6, 5, false));
    ScratchRequest r;
    l->plan_scratch(Shape3{6, 7, 1}, r);
    EXPECT_EQ(r.bytes[4], 42u);
    EXPECT_EQ(r.bytes[5], 20u);
}

struct ErrorCase {
    const char* what;
    const char* op;
    int K, N;
    RawTensors tensors;
    int in_c, tokens;   // forward input (tokens 0: load only)
    int64_t out_floats; // output capacity, -1 = exact
    uint64_t scratch4;  // area 4 capacity, 0 = none
    const char* message;
};

TEST(SeqGemmLayers, ErrorsNameTheNodeAndWhatIsWrong) {
    const std::vector<float> w6(6, 0.5f), s3(3, 0.1f), b3(3, 1.0f);
    const std::vector<int8_t> q6(6, 1);
    const std::vector<ErrorCase> cases = {
        {"C_out 0", "seqgemm_int8", 2, 0, {}, 0, 0, -1, 0, "argument 'C_out' must be at least 1"},
        {"no weight", "seqgemm_fp32", 2, 3, {}, 0, 0, -1, 0, "'n1.weight' is missing"},
        {"short weight", "seqgemm_fp32", 2, 3, {{"n1.weight", raw(std::vector<float>(5))}}, 0, 0, -1, 0,
         "'n1.weight' holds 5 float32 values, expected 6"},
        {"int8 form without scales", "seqgemm_fp32", 2, 3, {{"n1.weight_i8", raw(q6)}}, 0, 0, -1, 0,
         "'n1.w_scales' is missing"},
        {"long int8 form", "seqgemm_fp32", 2, 3, {{"n1.weight_i8", raw(std::vector<int8_t>(7))}, {"n1.w_scales", raw(s3)}},
         0, 0, -1, 0, "'n1.weight_i8' holds 7 int8 values, expected 6"},
        {"short bias", "seqgemm_fp32", 2, 3, {{"n1.weight", raw(w6)}, {"n1.bias", raw(std::vector<float>(2))}}, 0, 0,
         -1, 0, "'n1.bias' holds 2 floats, expected 3"},
        {"short scales", "seqgemm_int8", 2, 3, {{"n1.weight_i8", raw(q6)}, {"n1.w_scales", raw(std::vector<float>(2))}},
         0, 0, -1, 0, "'n1.w_scales' holds 2 float32 values, expected 3"},
        {"wrong width", "seqgemm_fp32", 2, 3, {{"n1.weight", raw(w6)}}, 3, 2, -1, 0,
         "input has 3 features per token, expected C_in = 2"},
        {"small output", "seqgemm_int8", 2, 3, {{"n1.weight_i8", raw(q6)}, {"n1.w_scales", raw(s3)}, {"n1.bias", raw(b3)}},
         2, 4, 11, 0, "output buffer holds 44 bytes, needs 48"},
        {"small scratch", "seqgemm_int8", 2, 3, {{"n1.weight_i8", raw(q6)}, {"n1.w_scales", raw(s3)}}, 2, 4, -1, 7,
         "scratch area 4 holds 7 bytes, needs 8"},
        // T*N = 2.4e9 does not fit 32 bits; the check must not wrap.
        {"huge output", "seqgemm_fp32", 1, 40000, {{"n1.weight", raw(std::vector<float>(40000))}}, 1, 60000, 16, 0,
         "output buffer holds 64 bytes, needs 9600000000"},
    };
    for (const ErrorCase& c : cases) {
        const std::string err = error_of([&] {
            auto l = make_layer(node(c.op, c.K, c.N, false));
            l->load_weights(serve(c.tensors));
            if (c.tokens == 0) return;
            std::vector<float> x(size_t(c.in_c) * c.tokens, 1.0f);
            std::vector<float> y(c.out_floats < 0 ? size_t(c.tokens) * c.N : size_t(c.out_floats));
            std::vector<uint8_t> scratch(c.scratch4);
            TensorView v{x.data(), 0, x.size() * 4, c.in_c, c.tokens, 1};
            BufferView o{y.data(), 0, y.size() * 4};
            ExecContext ctx;
            if (c.scratch4) ctx.scratch[4] = BufferView{scratch.data(), 0, scratch.size()};
            l->forward(&v, 1, &o, &ctx);
        });
        EXPECT_NE(err.find(std::string(c.op) + " node 'n1'"), std::string::npos) << c.what << ": " << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.what << ": " << err;
    }
}

}  // namespace
