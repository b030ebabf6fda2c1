#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "layer_test_util.h"
#include "layers/common/fetch_typed_tensor.h"
#include "loader/weights_file.h"

using namespace vantrel;

namespace {

// Byte-level builder, independent of the reader, for well-formed and
// deliberately broken files.
struct Bytes {
    std::string s;
    Bytes& raw(const std::string& b) { s += b; return *this; }
    Bytes& u16(uint32_t v) { for (int i = 0; i < 2; ++i) s += char(v >> (8 * i)); return *this; }
    Bytes& u32(uint32_t v) { for (int i = 0; i < 4; ++i) s += char(v >> (8 * i)); return *this; }
    Bytes& u64(uint64_t v) { for (int i = 0; i < 8; ++i) s += char(v >> (8 * i)); return *this; }
    Bytes& entry(const std::string& name, uint64_t offset, uint32_t size) {
        std::string n = name.substr(0, 64);
        n.resize(64, '\0');
        return raw(n).u64(offset).u32(size).u32(0);
    }
};

std::string write(const std::string& name, const std::string& content) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string open_error(const std::string& path) {
    try {
        WeightsReader r(path);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no error>";
}

// One record: dtype, ordering, ndim, dims, data.
std::string record(std::vector<int32_t> dims, const std::string& data) {
    Bytes b;
    b.raw(std::string(2, '\0')).u16(uint32_t(dims.size()));
    for (int32_t d : dims) b.u32(uint32_t(d));
    return b.raw(data).s;
}

}  // namespace

TEST(WeightsFile, HeaderAndIndexFailures) {
    struct Case { std::string content; std::string expect; };
    std::string big_count = Bytes().raw("W1X1").u32(1).u32(0xFFFFFFFFu).s;
    std::vector<Case> cases = {
        {"W1X2" + std::string(8, '\0'), "Bad magic in @ (expected W1X1)"},
        {"W1", "read error at magic"},
        {"W1X1\1\0", "read error at version"},
        {"W1X1" + std::string(6, '\0'), "read error at num_entries"},
        {Bytes().raw("W1X1").u32(1).u32(2).entry("a", 0, 0).s, "read error at index_entry"},
        // A count no file of this length can hold fails before a table is reserved for it.
        {big_count, "read error at index_entry"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string path = write("hdr" + std::to_string(i) + ".bin", cases[i].content);
        std::string want = cases[i].expect;
        size_t at = want.find('@');
        if (at != std::string::npos) want.replace(at, 1, path);
        EXPECT_EQ(open_error(path), want) << "case " << i;
    }
    EXPECT_EQ(open_error("/nonexistent/w.bin"), "Cannot open weights: /nonexistent/w.bin");
    EXPECT_EQ(open_error(::testing::TempDir()), "Cannot open weights: " + ::testing::TempDir());
}

TEST(WeightsFile, FetchesRecordsByName) {
    std::string long_name(64, 'n');
    std::string r1 = record({2, 3}, std::string(24, '\x01'));
    std::string r2 = record({}, "abcd");
    std::string r3 = record({1}, "wxyz");
    size_t base = 12 + 4 * 80;
    Bytes b;
    b.raw("W1X1").u32(7).u32(4);
    b.entry("fc.weight", base, uint32_t(r1.size()));
    b.entry(long_name, base + r1.size(), uint32_t(r2.size()));
    b.entry("fc.weight", base + r1.size() + r2.size(), uint32_t(r3.size()));  // later entry wins
    b.entry("empty", base + r1.size(), 4);
    b.raw(r1).raw(r2).raw(r3);
    WeightsReader reader(write("ok.bin", b.s));
    EXPECT_EQ(reader.entry_count(), 3u);
    WeightLoadMemoryStats stats;
    WeightFetch fetch = make_weight_fetch(reader, &stats);

    std::vector<int> shape;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(fetch("fc.weight", shape, bytes));
    EXPECT_EQ(shape, std::vector<int>{1});
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "wxyz");
    ASSERT_TRUE(fetch(long_name.substr(0, 63), shape, bytes));
    EXPECT_TRUE(shape.empty());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "abcd");
    ASSERT_TRUE(fetch("empty", shape, bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(stats.peak_tensor_bytes, 4u);

    shape = {9};
    bytes = {9};
    EXPECT_FALSE(fetch("missing", shape, bytes));
    EXPECT_EQ(shape, std::vector<int>{9});
    EXPECT_EQ(bytes, std::vector<uint8_t>{9});
}

TEST(WeightsFile, RecordsThatDoNotFitTheFile) {
    struct Case { uint64_t offset; uint32_t size; std::string rec; std::string expect; };
    std::string r = record({2}, std::string(8, 'd'));  // 4 + 4 + 8 = 16 bytes
    size_t base = 12 + 80;
    std::vector<Case> cases = {
        {base + 1000, 16, r, "read error at tensor_dtype"},
        {base + 3, 16, r.substr(0, 3), "read error at tensor_ndim"},
        {base, 16, r.substr(0, 6), "read error at tensor_shape"},
        {base, 16, r.substr(0, 12),
         "read error at tensor_data: record 't' claims 8 data bytes at offset 100 of a 104-byte file"},
        // A size far beyond the file is refused before the data buffer is sized.
        {base, 0xFFFFFFF0u, r,
         "read error at tensor_data: record 't' claims 4294967272 data bytes at offset 100 of a 108-byte file"},
        {base, 7, r, "read error at tensor_data: record 't' is 7 bytes, below its 8-byte header"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        std::string content = Bytes().raw("W1X1").u32(1).u32(1).entry("t", c.offset, c.size).s;
        if (c.offset == base + 3) content += "xxx";
        content += c.rec;
        WeightsReader reader(write("rec" + std::to_string(i) + ".bin", content));
        std::vector<int> shape;
        std::vector<uint8_t> bytes;
        std::string got = "<no error>";
        try {
            reader.fetch("t", shape, bytes, nullptr);
        } catch (const std::runtime_error& e) {
            got = e.what();
        }
        EXPECT_EQ(got, c.expect) << "case " << i;
    }
}

// A record that fits a (sparse) file but claims gigabytes is refused by the
// memory limit, or by the size its layer expects, before its data buffer is
// sized; the error names the record.
TEST(WeightsFile, HugeRecordsFailBeforeTheirData) {
    const uint32_t size = 0xFFFFFFF0u;
    std::string path = write("huge.bin", Bytes().raw("W1X1").u32(1).u32(1).entry("fc.weight", 92, size).s +
                                             record({8, 4}, ""));
    ASSERT_EQ(truncate(path.c_str(), off_t(92) + size), 0);
    struct Case { uint64_t limit; bool through_layer; std::string expect; };
    const std::vector<Case> cases = {
        {1 << 20, false, "Weights file " + path + ": record 'fc.weight' holds 4294967268 data bytes, over the "
                                                  "model's memory limit of 1048576 bytes"},
        {UINT64_MAX, false, "Weights file " + path + ": record 'fc.weight' holds 4294967268 data bytes, more "
                                                     "than the 32 its layer expects"},
        {UINT64_MAX, true, "gemm_int8 node 'fc': weight tensor 'fc.weight' holds 4294967268 int8 values, "
                           "expected 32"},
    };
    for (const Case& c : cases) {
        WeightsReader reader(path, c.limit);
        std::vector<int> shape;
        std::vector<uint8_t> bytes;
        std::vector<int8_t> w;
        std::string got = "<no error>";
        try {
            if (c.through_layer)
                fetch_typed_tensor("gemm_int8", "fc", make_weight_fetch(reader, nullptr), "fc.weight", 32,
                                   "int8", w);
            else
                reader.fetch("fc.weight", shape, bytes, nullptr, 32);
        } catch (const std::runtime_error& e) {
            got = e.what();
        }
        EXPECT_EQ(got, c.expect);
        EXPECT_LT(bytes.capacity() + w.capacity(), 64u);
    }
}

// Layers whose weight sizes have no argument-given length, or whose optional
// int8 variant is probed, still bound each fetch: a record larger than the
// layer can use is refused before its data is read (nothing read counts
// toward the load's peak), and a record whose bytes disagree with its
// recorded shape (float64 data under a float32 shape) is refused. The error
// names the node and the tensor.
struct LayerFetchCase {
    std::string node, tensor;
    std::vector<int32_t> dims;
    size_t data_bytes;
    bool early;  // refused before its data is read
    std::string expect;
};
void PrintTo(const LayerFetchCase& c, std::ostream* os) { *os << c.tensor; }
class LayerWeightFetch : public ::testing::TestWithParam<LayerFetchCase> {};
TEST_P(LayerWeightFetch, WrongSizeRefusedNamingNodeAndTensor) {
    const LayerFetchCase& c = GetParam();
    const std::string rec = record(c.dims, std::string(c.data_bytes, '\1'));
    const std::string path = write("layer_fetch.bin", Bytes().raw("W1X1").u32(1).u32(1).entry(c.tensor, 92,
                                                          uint32_t(rec.size())).s + rec);
    WeightsReader reader(path);
    WeightLoadMemoryStats stats;
    auto layer = vantrel_test::make_layer(c.node);
    EXPECT_EQ(vantrel_test::error_of([&] { layer->load_weights(make_weight_fetch(reader, &stats)); }), c.expect);
    EXPECT_EQ(stats.peak_tensor_bytes, c.early ? 0u : c.data_bytes);
}
INSTANTIATE_TEST_SUITE_P(
    Layers, LayerWeightFetch,
    ::testing::Values(
        LayerFetchCase{R"({"op":"snake1d_fp32"})", "n1.alpha", {4}, 32, false,
                       "snake1d_fp32 node 'n1': weight tensor 'n1.alpha' has 32 bytes but a shape of 1 dimensions "
                       "that does not hold 8 float32 values"},
        LayerFetchCase{R"({"op":"lstm_fp32","hidden_size":2})", "n1.weight_ih_l0", {8, 3}, 192, false,
                       "lstm_fp32 node 'n1': weight tensor 'n1.weight_ih_l0' has 192 bytes but a shape of 2 "
                       "dimensions that does not hold 48 float32 values"},
        LayerFetchCase{R"({"op":"seqgemm_fp32","C_out":2,"C_in":3})", "n1.weight_i8", {}, 1 << 16, true,
                       "seqgemm_fp32 node 'n1': weight tensor 'n1.weight_i8' holds 65536 int8 values, expected 6"},
        LayerFetchCase{R"({"op":"seqgemm_w8","C_out":2,"C_in":8,"group_size":8})", "n1.weight_i8", {}, 1 << 16,
                       true, "seqgemm_w8 node 'n1': weight tensor 'n1.weight_i8' holds 65536 int8 values, expected 16"},
        LayerFetchCase{R"({"op":"ada_in1d_fp32","C":2,"C_style":3})", "n1.fc.weight_i8", {}, 1 << 16, true,
                       "ada_in1d_fp32 node 'n1': weight tensor 'n1.fc.weight_i8' holds 65536 int8 values, "
                       "expected 12"},
        LayerFetchCase{R"({"op":"attention_fp32","num_heads":2,"embed_dim":4})", "n1.w_qkv", {}, 1 << 16, true,
                       "attention_fp32 node 'n1': weight tensor 'n1.w_qkv' holds 16384 float32 values, expected "
                       "3*4*4 = 48"},
        LayerFetchCase{R"({"op":"concat_int8"})", "n1.tables", {}, 1 << 16, true,
                       "concat_int8 node 'n1': weight tensor 'n1.tables' holds 65536 int8 values, expected 256 per "
                       "input (at most 8 inputs)"}));
