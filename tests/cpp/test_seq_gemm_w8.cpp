// Weight-only int8 sequence product: every kernel path bit for bit against
// a scalar model of the fixed eight-lane order, that against a double
// reference, thread counts, and the layer's load-time group quantisation.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <array>
#include <random>
#include <vector>

#include "kernels/gemm/seq_gemm_w8.h"
#include "layers/sequence/seq_gemm_w8.h"
#include "kernel_test_paths.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

std::vector<float> normal(size_t n, unsigned seed, float sd = 1.0f) {
    std::mt19937 g(seed);
    std::normal_distribution<float> d(0.0f, sd);
    std::vector<float> v(n);
    for (float& x : v) x = d(g);
    return v;
}

// The documented order, written out independently of the kernels.
float model_w8(const float* x, const int8_t* q, const float* s, int K, int G) {
    float acc[8] = {};
    for (int g = 0; g * G < K; ++g) {
        float part[8] = {};
        for (int k = g * G; k < std::min(K, (g + 1) * G); ++k) part[k % 8] = std::fmaf(x[k], float(q[k]), part[k % 8]);
        for (int l = 0; l < 8; ++l) acc[l] = std::fmaf(part[l], s[g], acc[l]);
    }
    return ((acc[0] + acc[4]) + (acc[2] + acc[6])) + ((acc[1] + acc[5]) + (acc[3] + acc[7]));
}

TEST(SeqGemmW8Kernel, PathsMatchTheOrderBitForBit) {
    KSeqGemmW8F32 avx2 = nullptr, avx512 = nullptr, neon = nullptr;
#if defined(__x86_64__)
    avx2 = &k_seq_gemm_w8_f32_avx2;
    avx512 = &k_seq_gemm_w8_f32_avx512;
#endif
#if defined(__aarch64__)
    neon = &k_seq_gemm_w8_f32_neon;
#endif
    for (auto [T, K, N, G] : {std::array<int, 4>{1, 64, 9, 32}, {3, 100, 17, 32}, {5, 37, 4, 16}, {2, 7, 3, 8},
                            {70, 24, 5, 8},   // a 64-token block, then 4 + 2 tokens
                            {67, 45, 11, 40},   // every tile shape of rows and tokens
                            {1, 45, 7, 40},     // one token: partial blocks of rows and of k
                            {1, 203, 31, 8},    // one token: several passes of rows, then a partial one
                            {1, 96, 17, 16}, {1, 131, 9, 64},
                            {1, 112, 13, 16},   // one token: groups two at a time, then an odd one
                            {1, 131, 4201, 32}}) {  // one token over a team: partial blocks at the split
        const int groups = (K + G - 1) / G;
        std::vector<float> x = normal(size_t(T) * K, unsigned(K)), s = normal(size_t(N) * groups, 2, 0.01f),
                           b = normal(N, 3);
        x.resize(x.size() + 8, NAN);  // past the last token: must never be multiplied in
        std::vector<int8_t> q(size_t(N) * K);
        for (size_t i = 0; i < q.size(); ++i) q[i] = int8_t(int(i * 37 % 255) - 127);
        for (auto& [path, fn] : runnable_paths<KSeqGemmW8F32>(&k_seq_gemm_w8_f32, avx2, avx512, neon)) {
            std::vector<float> y(size_t(T) * N);
            fn(x.data(), q.data(), s.data(), b.data(), y.data(), T, K, N, G, nullptr);
            for (int m = 0; m < T; ++m)
                for (int n = 0; n < N; ++n) {
                    const float want = model_w8(&x[m * K], &q[n * K], &s[n * groups], K, G) + b[n];
                    ASSERT_EQ(float_bits(y[m * N + n]), float_bits(want)) << path << " " << K << " " << m << "," << n;
                    double ref = b[n], mag = std::fabs(b[n]);
                    for (int k = 0; k < K; ++k) {
                        const double t = double(x[m * K + k]) * q[n * K + k] * s[n * groups + k / G];
                        ref += t, mag += std::fabs(t);
                    }
                    ASSERT_NEAR(y[m * N + n], ref, 1e-5 * mag);
                }
        }
    }
}

TEST(SeqGemmW8Layer, QuantisesFloatWeightsPerGroupAndIgnoresThreadCount) {
    const int T = 6, K = 80, N = 4200, G = 32;  // 2,016,000 multiply-adds: a team
    std::vector<float> w = normal(size_t(N) * K, 4, 0.1f), x = normal(size_t(T) * K, 5);
    for (int k = 0; k < G; ++k) w[k] = 0.0f;  // an all-zero group: scale 0
    auto l = make_layer("{\"op\":\"seqgemm_w8\",\"C_in\":80,\"C_out\":4200,\"group_size\":32}");
    l->load_weights([&](const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes) {
        if (name != "n1.weight") return false;
        shape = {N, K};
        bytes.resize(w.size() * 4);
        std::memcpy(bytes.data(), w.data(), bytes.size());
        return true;
    });
    auto& s = dynamic_cast<SeqGemmW8&>(*l);
    ASSERT_EQ(s.scales.size(), size_t(N) * 3);
    EXPECT_EQ(s.scales[0], 0.0f);
    for (int r = 0; r < N; ++r)
        for (int k = 0; k < K; ++k) {  // half a code step per weight
            const float step = s.scales[r * 3 + k / G];
            ASSERT_LE(std::fabs(float(s.codes[r * K + k]) * step - w[r * K + k]), 0.5001f * step) << r << "," << k;
        }
    const int saved = omp_get_max_threads();
    std::vector<float> first;
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        std::vector<float> y(size_t(T) * N);
        TensorView v{x.data(), 0, x.size() * 4, K, T, 1};
        BufferView o{y.data(), 0, y.size() * 4};
        ExecContext ctx{};
        l->forward(&v, 1, &o, &ctx);
        if (first.empty()) first = y;
        EXPECT_EQ(std::memcmp(first.data(), y.data(), y.size() * 4), 0) << threads;
        // The first token alone (the one-token driver) sums as in the batch.
        std::vector<float> one(N);
        TensorView v1{x.data(), 0, size_t(K) * 4, K, 1, 1};
        BufferView o1{one.data(), 0, one.size() * 4};
        l->forward(&v1, 1, &o1, &ctx);
        EXPECT_EQ(std::memcmp(first.data(), one.data(), one.size() * 4), 0) << threads;
    }
    omp_set_num_threads(saved);
}

}  // namespace
