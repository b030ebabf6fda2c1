// Token, BERT-style and position embeddings and patch preparation: the
// embedding gather and row-vector add kernels on every path, and the layers
// against scalar references written here, and the validation errors of load
// and forward (missing or mis-sized tables, bad ids, over-long inputs).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kernel_test_paths.h"
#include "kernels/elementwise/add_row_vector_f32.h"
#include "kernels/elementwise/embedding_f32.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

using EmbFn = void (*)(const float*, const float*, float*, int32_t, int32_t, int32_t);
using RowVecFn = void (*)(float*, const float*, int32_t, int32_t);

TEST(EmbeddingKernel, TruncatesAndClampsIdsOnEveryPath) {
    const int vocab = 10;
    for (int dim : {1, 3, 8, 17, 35}) {
        std::vector<float> table(size_t(vocab) * dim);
        for (size_t i = 0; i < table.size(); ++i) table[i] = float(i) * 0.5f - 3.0f;
        const float inf = std::numeric_limits<float>::infinity();
        const std::vector<float> ids = {-3.0f, 2.9f, 1e9f, 9.99f, -0.5f, 0.0f, 5.0f, inf, -inf, 3e38f,
                                        std::nanf("")};
        const std::vector<int> rows = {0, 2, 9, 9, 0, 0, 5, 9, 0, 9, 0};
        for (auto& [name, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(EmbFn, k_embedding_f32))) {
            std::vector<float> out(ids.size() * dim, -1.0f);
            fn(ids.data(), table.data(), out.data(), int32_t(ids.size()), vocab, dim);
            for (size_t t = 0; t < ids.size(); ++t)
                for (int j = 0; j < dim; ++j)
                    ASSERT_EQ(out[t * dim + j], table[size_t(rows[t]) * dim + j]) << name << " id " << ids[t];
        }
    }
}

TEST(AddRowVectorKernel, AddsTheVectorToEveryRowOnEveryPath) {
    for (auto [rows, n] : {std::pair{1, 1}, {3, 7}, {4, 16}, {5, 33}, {2, 100}}) {
        const auto x = randn(size_t(rows) * n, rows * 31 + n, 3.0f), v = randn(n, n, 3.0f);
        for (auto& [name, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(RowVecFn, k_add_row_vector_f32))) {
            std::vector<float> y = x;
            fn(y.data(), v.data(), rows, n);
            for (int r = 0; r < rows; ++r)
                for (int j = 0; j < n; ++j)
                    ASSERT_EQ(y[size_t(r) * n + j], x[size_t(r) * n + j] + v[j]) << name;
        }
    }
}


std::vector<float> iota_table(int rows, int width, float scale) {
    std::vector<float> t(size_t(rows) * width);
    for (size_t i = 0; i < t.size(); ++i) t[i] = std::cos(float(i) * scale) * 2 + float(i % 3);
    return t;
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

TEST(EmbeddingLayer, LooksUpTruncatedRows) {
    auto l = make_layer(R"({"op":"embedding_fp32","num_embeddings":10,"embedding_dim":3})", "emb");
    const auto table = iota_table(10, 3, 0.7f);
    l->load_weights(fetch_from({{"emb.weight", table}}));
    std::vector<float> ids = {-0.5f, 2.9f, 9.0f, 4.0f}, y(12);
    Shape3 s;
    ASSERT_EQ(run_layer(*l, ids, {1, 2, 2}, y, &s), "");
    EXPECT_EQ(s, (Shape3{3, 2, 2}));
    const int rows[] = {0, 2, 9, 4};
    for (int t = 0; t < 4; ++t)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(y[t * 3 + j], table[rows[t] * 3 + j]);
    // The output may share the ids' buffer.
    std::vector<float> shared = {7.0f, 1.0f, 0, 0, 0, 0};
    TensorView v{shared.data(), 0, 24, 1, 2, 1};
    BufferView o{shared.data(), 0, 24};
    ExecContext ctx;
    l->forward(&v, 1, &o, &ctx);
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(shared[j], table[21 + j]);
        EXPECT_EQ(shared[3 + j], table[3 + j]);
    }

    EXPECT_TRUE(contains(run_layer(*l, ids, {4, 1, 1}, y), "declare T ids with shape [T, 1]"));
    std::vector<float> nan_ids = {1.0f, std::nanf("")};
    EXPECT_TRUE(contains(run_layer(*l, nan_ids, {1, 2, 1}, y), "token id at position 1 is NaN"));
    std::vector<float> small(5);
    EXPECT_TRUE(contains(run_layer(*l, ids, {1, 2, 2}, small), "output buffer"));
    EXPECT_TRUE(contains(error_of([&] { l->load_weights(fetch_from({{"emb.weight", iota_table(9, 3, 1)}})); }),
                         "'emb.weight' holds 27 floats, expected 30"));
    EXPECT_TRUE(contains(error_of([&] { l->load_weights(fetch_from({})); }), "'emb.weight' is missing"));
    EXPECT_TRUE(contains(error_of([] { make_layer(R"({"op":"embedding_fp32","embedding_dim":3})", "emb"); }),
                         "'num_embeddings' must be at least 1"));
}

// Word + position + type row 0, then layer norm with eps 1e-12, in double.
std::vector<double> bert_ref(const std::vector<float>& ids, const Tensors& t, int E) {
    std::vector<double> y(ids.size() * E);
    for (size_t k = 0; k < ids.size(); ++k) {
        const int id = int(ids[k]);
        std::vector<double> e(E);
        double mean = 0, var = 0;
        for (int j = 0; j < E; ++j) {
            e[j] = double(t.at("b.word_weight")[id * E + j]) + t.at("b.pos_weight")[k * E + j];
            if (t.count("b.type_weight")) e[j] += t.at("b.type_weight")[j];
            mean += e[j];
        }
        mean /= E;
        for (int j = 0; j < E; ++j) var += (e[j] - mean) * (e[j] - mean);
        const double r = 1 / std::sqrt(var / E + 1e-12);
        // Each layer-norm vector that is present applies.
        for (int j = 0; j < E; ++j) {
            double v = (e[j] - mean) * r;
            if (t.count("b.layernorm.weight")) v *= t.at("b.layernorm.weight")[j];
            if (t.count("b.layernorm.bias")) v += t.at("b.layernorm.bias")[j];
            y[k * E + j] = v;
        }
    }
    return y;
}

// Bit 0: type table; bit 1: layer-norm gamma; bit 2: layer-norm beta.
class BertEmbeddings : public ::testing::TestWithParam<int> {};

TEST_P(BertEmbeddings, SumsAndNormalises) {
    const int E = 5, vocab = 7, positions = 4;
    Tensors t = {{"b.word_weight", iota_table(vocab, E, 0.3f)}, {"b.pos_weight", iota_table(positions, E, 1.1f)}};
    if (GetParam() & 1) t["b.type_weight"] = iota_table(2, E, 2.3f);
    if (GetParam() & 2) t["b.layernorm.weight"] = {1, 2, 0.5f, -1, 3};
    if (GetParam() & 4) t["b.layernorm.bias"] = {0, 1, -1, 2, 0.5f};
    auto l = make_layer(R"({"op":"bert_embeddings_fp32","emb_size":5})", "b");
    l->load_weights(fetch_from(t));
    std::vector<float> ids = {6.0f, 0.0f, 3.7f}, y(3 * E);
    Shape3 s;
    ASSERT_EQ(run_layer(*l, ids, {1, 3, 1}, y, &s), "");
    EXPECT_EQ(s, (Shape3{E, 3, 1}));
    const auto want = bert_ref(ids, t, E);
    for (size_t i = 0; i < y.size(); ++i) EXPECT_NEAR(y[i], want[i], 1e-5 * (1 + std::fabs(want[i]))) << i;

    // Ids outside the word table, NaN and infinities are refused; so is a
    // sequence longer than the position table.
    for (float bad : {-1.0f, 7.0f, 1e30f, std::nanf(""), std::numeric_limits<float>::infinity()}) {
        std::vector<float> b = {1.0f, bad};
        EXPECT_TRUE(contains(run_layer(*l, b, {1, 2, 1}, y), "at position 1 is outside the 7 rows of 'b.word_weight'"))
            << bad;
    }
    std::vector<float> longer(5, 1.0f), big_out(5 * E);
    EXPECT_TRUE(contains(run_layer(*l, longer, {1, 5, 1}, big_out), "5 tokens is longer than the 4 rows"));
    // Ids declared as one position of three channels would drop two ids.
    EXPECT_TRUE(contains(run_layer(*l, ids, {3, 1, 1}, y), "one channel per position, got 3"));
}

INSTANTIATE_TEST_SUITE_P(Optional, BertEmbeddings, ::testing::Values(0, 1, 2, 4, 7));

struct BadTables {
    const char* op;
    Tensors weights;
    const char* error;
};

class EmbeddingTableLoad : public ::testing::TestWithParam<BadTables> {};

TEST_P(EmbeddingTableLoad, RejectsMissingOrMisSizedTables) {
    const BadTables& c = GetParam();
    auto l = make_layer(std::string(R"({"op":")") + c.op + R"(","emb_size":4})", "b");
    const std::string err = error_of([&] { l->load_weights(fetch_from(c.weights)); });
    EXPECT_TRUE(contains(err, c.error)) << err;
    EXPECT_TRUE(contains(err, "node 'b'")) << err;
}

const std::vector<float> k8(8, 1.0f), k4(4, 1.0f);
INSTANTIATE_TEST_SUITE_P(
    Cases, EmbeddingTableLoad,
    ::testing::Values(
        BadTables{"bert_embeddings_fp32", {{"b.pos_weight", k8}}, "'b.word_weight' is missing"},
        BadTables{"bert_embeddings_fp32", {{"b.word_weight", k8}}, "'b.pos_weight' is missing"},
        BadTables{"bert_embeddings_fp32", {{"b.word_weight", {1, 2, 3}}, {"b.pos_weight", k8}},
                  "not a whole number of rows of 4"},
        BadTables{"bert_embeddings_fp32", {{"b.word_weight", k8}, {"b.pos_weight", k8}, {"b.type_weight", {1, 2}}},
                  "'b.type_weight' holds 2 floats"},
        BadTables{"bert_embeddings_fp32",
                  {{"b.word_weight", k8}, {"b.pos_weight", k8}, {"b.layernorm.weight", {1, 2}}},
                  "'b.layernorm.weight' holds 2 floats, expected 4"},
        BadTables{"patch_prep_fp32", {{"b.pos_embed", k8}}, "'b.cls_token' is missing"},
        BadTables{"patch_prep_fp32", {{"b.cls_token", k4}}, "'b.pos_embed' is missing"},
        BadTables{"patch_prep_fp32", {{"b.cls_token", k4}, {"b.pos_embed", {1, 2, 3, 4, 5, 6}}},
                  "not a whole number of rows of 4"},
        BadTables{"pos_emb_add_fp32", {}, "'b.weight' is missing"}));

TEST(PatchPrepLayer, PrependsClassTokenAndAddsPositions) {
    const int E = 3, h = 2, w = 3, P = h * w;
    Tensors t = {{"pp.cls_token", {0.5f, -1, 2}}, {"pp.pos_embed", iota_table(P + 1, E, 0.9f)}};
    auto l = make_layer(R"({"op":"patch_prep_fp32"})", "pp");
    l->load_weights(fetch_from(t));
    EXPECT_EQ(l->output_shape({768, 14, 14}), (Shape3{768, 197, 1}));
    const auto x = iota_table(P, E, 0.4f);
    const auto& pe = t["pp.pos_embed"];
    // Separate buffers, and the output sharing the input's buffer.
    for (bool shared : {false, true}) {
        std::vector<float> in = x, out((P + 1) * E, -9.0f);
        if (shared) in.resize(out.size());
        std::vector<float>& dst = shared ? in : out;
        TensorView v{in.data(), 0, in.size() * 4, E, h, w};
        BufferView o{dst.data(), 0, dst.size() * 4};
        ExecContext ctx;
        EXPECT_EQ(l->forward(&v, 1, &o, &ctx), (Shape3{E, P + 1, 1}));
        for (int j = 0; j < E; ++j) EXPECT_EQ(dst[j], t["pp.cls_token"][j] + pe[j]);
        for (int p = 0; p < P; ++p)
            for (int j = 0; j < E; ++j) EXPECT_EQ(dst[(1 + p) * E + j], x[p * E + j] + pe[(1 + p) * E + j]) << shared;
    }
    std::vector<float> x4(4 * P), out((P + 1) * E), x_big(E * 9), out_big(10 * E), small(P * E);
    std::vector<float> xx = x;
    EXPECT_TRUE(contains(run_layer(*l, x4, {4, h, w}, out), "input has 4 features, 'pp.cls_token' holds 3"));
    EXPECT_TRUE(contains(run_layer(*l, x_big, {E, 3, 3}, out_big), "grid of 9 patches needs 10 rows"));
    EXPECT_TRUE(contains(run_layer(*l, xx, {E, h, w}, small), "output buffer"));
}

TEST(PosEmbAddLayer, AddsTableAndChecksLength) {
    auto l = make_layer(R"({"op":"pos_emb_add_fp32"})", "pe");
    const auto table = iota_table(4, 3, 0.6f);
    l->load_weights(fetch_from({{"pe.weight", table}}));
    std::vector<float> x = iota_table(3, 3, 0.2f), y(9);
    ASSERT_EQ(run_layer(*l, x, {3, 3, 1}, y), "");
    for (int i = 0; i < 9; ++i) EXPECT_EQ(y[i], x[i] + table[i]);
    std::vector<float> x5(15), y5(15), x5w(5 * 2);
    EXPECT_TRUE(contains(run_layer(*l, x5, {3, 5, 1}, y5), "5 positions is longer than the 4 rows"));
    EXPECT_TRUE(contains(run_layer(*l, x5w, {5, 2, 1}, y5), "input has 5 features"));
}

}  // namespace
