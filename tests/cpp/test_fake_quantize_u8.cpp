// Quantise-and-restore: every value comes back within half a step of itself,
// the step being (max(x, 0) - min(x, 0)) / 255, and 0 is exact.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "kernels/gemm/fake_quantize_u8.h"

using vantrel::fake_quantize_u8;

TEST(FakeQuantizeU8, RangeIncludesZero) {
    const std::vector<std::vector<float>> rows = {
        {10.0f, 11.0f},           // all positive: must not collapse onto one code
        {-5.0f, -4.0f, -4.5f},    // all negative
        {-1.0f, 0.0f, 2.0f, 0.7f},
        {3.0f},
    };
    for (const auto& row : rows) {
        std::vector<float> x = row;
        fake_quantize_u8(x.data(), int64_t(x.size()));
        float mn = 0, mx = 0;
        for (float v : row) mn = std::fmin(mn, v), mx = std::fmax(mx, v);
        const double step = double(mx - mn) / 255.0;
        for (size_t i = 0; i < row.size(); ++i) {
            EXPECT_NEAR(x[i], row[i], 0.5 * step + 1e-6) << "value " << row[i];
            if (row[i] == 0.0f) {
                EXPECT_EQ(x[i], 0.0f);
            }
        }
    }
    std::vector<float> x = {10.0f, 11.0f};
    fake_quantize_u8(x.data(), 2);
    EXPECT_NE(x[0], x[1]);
}

TEST(FakeQuantizeU8, DegenerateRows) {
    std::vector<float> zeros(5, 0.0f);
    fake_quantize_u8(zeros.data(), 5);
    for (float v : zeros) EXPECT_EQ(v, 0.0f);
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> with_inf = {1.0f, inf, -2.0f};
    fake_quantize_u8(with_inf.data(), 3);
    EXPECT_EQ(with_inf[0], 1.0f);
    EXPECT_EQ(with_inf[2], -2.0f);
    fake_quantize_u8(nullptr, 0);
}
