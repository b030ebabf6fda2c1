// Weights records whose shape cannot describe their data: found while
// building the malformed-file corpus (a negative or huge dimension used to
// reach the layers, which size by bytes and ignored it).
#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "loader/weights_file.h"

using namespace vantrel;

namespace {

std::string le(uint64_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += char(v >> (8 * i));
    return s;
}

// A file with one tensor "t": header, one entry, one record.
std::string one_tensor_file(const std::vector<int32_t>& dims, size_t data_bytes) {
    std::string rec = std::string(2, '\0') + le(dims.size(), 2);
    for (int32_t d : dims) rec += le(uint32_t(d), 4);
    rec += std::string(data_bytes, '\x01');
    std::string name = "t";
    name.resize(64, '\0');
    return "W1X1" + le(1, 4) + le(1, 4) + name + le(12 + 80, 8) + le(rec.size(), 4) + le(0, 4) + rec;
}

struct ShapeCase {
    std::vector<int32_t> dims;
    size_t data_bytes;
    const char* error;  // nullptr: the fetch succeeds
};

class WeightsShapeCheck : public ::testing::TestWithParam<ShapeCase> {};

}  // namespace

TEST_P(WeightsShapeCheck, RejectsShapesThatCannotDescribeTheData) {
    const ShapeCase& c = GetParam();
    // ctest runs the cases as parallel processes: each needs its own file.
    std::string id = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& ch : id)
        if (ch == '/') ch = '_';
    std::string path = ::testing::TempDir() + "weights_shape_check_" + id + ".bin";
    std::ofstream(path, std::ios::binary) << one_tensor_file(c.dims, c.data_bytes);
    WeightsReader r(path);
    std::vector<int> shape;
    std::vector<uint8_t> bytes;
    if (!c.error) {
        ASSERT_TRUE(r.fetch("t", shape, bytes, nullptr));
        EXPECT_EQ(shape, std::vector<int>(c.dims.begin(), c.dims.end()));
        EXPECT_EQ(bytes.size(), c.data_bytes);
        return;
    }
    try {
        r.fetch("t", shape, bytes, nullptr);
        FAIL() << "no error for " << c.error;
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
    EXPECT_TRUE(shape.empty() || bytes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Records, WeightsShapeCheck,
    ::testing::Values(ShapeCase{{4, 8}, 128, nullptr},           // float32 [4, 8]
                      ShapeCase{{4, 8}, 32, nullptr},            // int8 [4, 8]
                      ShapeCase{{}, 4, nullptr},                 // a scalar
                      ShapeCase{{0, 5}, 0, nullptr},             // an empty tensor
                      ShapeCase{{0, 0x7fffffff}, 4, nullptr},    // a zero wins over a huge one
                      ShapeCase{{-4, 8}, 128, "dimension 0 of -4"},
                      ShapeCase{{4, -1}, 128, "dimension 1 of -1"},
                      ShapeCase{{4, 9}, 32, "more elements than its 32 data bytes"},
                      ShapeCase{{0x7fffffff, 0x7fffffff, 0x7fffffff}, 128, "more elements than its 128"},
                      ShapeCase{{1}, 0, "more elements than its 0 data bytes"}));
