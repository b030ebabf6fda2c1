#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/quantize.h"
#include "kernel_test_paths.h"

using namespace vantrel;

// Reference requantisation in plain 64-bit arithmetic; the shifted value is
// clamped to +-2^40 first, which no int8 result can tell apart.
static int ref_requant(int64_t x, int64_t m, int shift, int zp) {
    int64_t t = (2 * x * m + (int64_t(1) << 31)) >> 32;
    if (t > INT32_MAX) t = INT32_MAX;
    int64_t u = shift >= 0 ? t * (int64_t(1) << (shift > 32 ? 32 : shift))
                           : (t + (int64_t(1) << (-shift - 1))) >> -shift;
    u = u > (int64_t(1) << 40) ? (int64_t(1) << 40) : (u < -(int64_t(1) << 40) ? -(int64_t(1) << 40) : u);
    int64_t v = u + zp;
    return int(v < -128 ? -128 : v > 127 ? 127 : v);
}

TEST(Quantize, MultiplierEdges) {
    EXPECT_EQ(quantize_multiplier(0.5f).multiplier, 1 << 30);
    EXPECT_EQ(quantize_multiplier(0.5f).shift, 0);
    EXPECT_EQ(quantize_multiplier(0.25f).multiplier, 1 << 30);
    EXPECT_EQ(quantize_multiplier(0.25f).shift, -1);
    // A float mantissa has 24 bits, so the largest one stays below 2^31.
    QuantMultiplier top = quantize_multiplier(std::nextafter(1.0f, 0.0f));
    EXPECT_EQ(top.multiplier, 2147483520);
    EXPECT_EQ(top.shift, 0);
    EXPECT_EQ(quantize_multiplier(0.0f).multiplier, 0);
    for (float bad : {NAN, INFINITY, -INFINITY}) {
        EXPECT_EQ(quantize_multiplier(bad).multiplier, 0);
        EXPECT_EQ(quantize_multiplier(bad).shift, 0);
    }
    QuantMultiplier g = quantize_multiplier(0.0123f);
    EXPECT_GE(g.multiplier, 1 << 30);
    EXPECT_NEAR(std::ldexp(double(g.multiplier), g.shift - 31), 0.0123, 1e-9);
}

TEST(Quantize, RequantizeHandCasesAndReference) {
    EXPECT_EQ(requantize(3, 0, 1 << 30, 0, 0), 2);
    EXPECT_EQ(requantize(-3, 0, 1 << 30, 0, 0), -1);
    EXPECT_EQ(requantize(1000, 0, 1 << 30, 0, 0), 127);
    EXPECT_EQ(requantize(-1000, 0, 1 << 30, 0, 0), -128);
    EXPECT_EQ(requantize(200, 0, 1 << 30, 0, 50), 127);
    EXPECT_EQ(requantize(INT32_MAX, 1, 1 << 30, 0, 0), -128);  // the add wraps
    // Extreme shifts from extreme scales stay defined and saturate with the
    // sign of the product; the add of out_zp saturates too.
    EXPECT_EQ(requantize(1 << 20, 0, 1 << 30, 40, 5), 127);
    EXPECT_EQ(requantize(-(1 << 20), 0, 1 << 30, 21, 5), -128);
    EXPECT_EQ(requantize(1, 0, 1 << 30, 31, -128), 127);
    EXPECT_EQ(requantize(INT32_MAX, 0, INT32_MAX - 1, 0, 127), 127);
    EXPECT_EQ(requantize(0, 0, 1 << 30, 40, -9), -9);
    EXPECT_EQ(requantize(-(1 << 30), 0, 1 << 30, -140, -7), -7);
    EXPECT_EQ(requantize(1 << 30, 0, 1 << 30, -31, 0), 0);
    uint32_t s = 12345;
    for (int i = 0; i < 20000; ++i) {
        s = s * 1664525u + 1013904223u;
        int32_t acc = int32_t(s) >> (s % 20);
        // Scales from 2^-16 up to 2^30, so that large ones saturate.
        float scale = std::ldexp(1.0f + float(s % 1000) / 1000.0f, int(s % 47) - 16);
        QuantMultiplier qm = quantize_multiplier(scale);
        int zp = int(int8_t(s >> 8));
        EXPECT_EQ(requantize(acc, 7, qm.multiplier, qm.shift, int8_t(zp)),
                  ref_requant(int64_t(acc) + 7, qm.multiplier, qm.shift, zp));
    }
}

TEST(Quantize, RowSymmetricRounding) {
    std::vector<float> x(20, 0.0f);
    x[0] = 127.0f;
    x[3] = 2.5f;
    x[17] = 2.5f;
    x[5] = -3.5f;
    x[18] = -3.5f;
    std::vector<int8_t> q(20);
    EXPECT_EQ(quantize_row_symmetric(x.data(), q.data(), 20), 1.0f);
    EXPECT_EQ(q[0], 127);
    EXPECT_EQ(q[3], 2);    // half to even inside a block of 16
    EXPECT_EQ(q[17], 3);   // half away in the tail
    EXPECT_EQ(q[5], -4);
    EXPECT_EQ(q[18], -4);
    std::vector<float> bad = {INFINITY, 1.0f, NAN};
    std::vector<int8_t> qb(3, 9);
    quantize_row_symmetric(bad.data(), qb.data(), 3);
    EXPECT_EQ(qb[2], 0);
    std::vector<float> z(5, 0.0f);
    std::vector<int8_t> qz(5, 9);
    EXPECT_EQ(quantize_row_symmetric(z.data(), qz.data(), 5), 1e-8f);
    for (int8_t v : qz) EXPECT_EQ(v, 0);
}

// Every vector path codes rows like the scalar routine: ties (x * inv exactly
// n + 0.5) in blocks and in the tail, NaN and infinite values, saturation
// and an all-zero row, at lengths around the 16-wide blocks.
TEST(Quantize, RowPathsMatchScalar) {
    using Fn = decltype(&quantize_rows_symmetric_portable);
#if defined(__x86_64__)
    const auto paths = vantrel_test::runnable_paths<Fn>(&quantize_rows_symmetric_portable,
                                                        &quantize_rows_symmetric_avx2,
                                                        &quantize_rows_symmetric_avx512, nullptr);
#else
    const auto paths =
        vantrel_test::runnable_paths<Fn>(&quantize_rows_symmetric_portable, nullptr, nullptr, nullptr);
#endif
    uint32_t seed = 1;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int k : {1, 15, 16, 17, 31, 48, 389}) {
        const int rows = 6;
        std::vector<float> x(size_t(rows) * k);
        // amax 127 makes inv 1: values n + 0.5 are exact ties.
        for (float& v : x) v = float(int(next() % 253) - 126) + ((next() & 3) == 0 ? 0.5f : 0.0f);
        for (int r = 0; r < rows; ++r) x[size_t(r) * k] = 127.0f;
        for (int i = 0; i < k; ++i) x[size_t(k) + i] = 0.0f;   // row 1: all zero
        // Row 2: a NaN in the lane of the largest value, after it.
        x[size_t(2) * k + size_t(std::min(32, k - 1))] = NAN;
        x[size_t(3) * k + size_t(k) - 1] = -INFINITY;          // row 3: inf scale
        x[size_t(4) * k + size_t(k) - 1] = 1e30f;              // row 4: all but one round to 0
        std::vector<int8_t> want(x.size());
        std::vector<float> want_s(rows);
        for (int r = 0; r < rows; ++r)
            want_s[r] = quantize_row_symmetric(&x[size_t(r) * k], &want[size_t(r) * k], k);
        for (const auto& [name, fn] : paths) {
            std::vector<int8_t> q(x.size(), 9);
            std::vector<float> s(rows);
            fn(x.data(), q.data(), s.data(), rows, k);
            EXPECT_EQ(std::memcmp(s.data(), want_s.data(), s.size() * 4), 0) << name << " k=" << k;
            EXPECT_EQ(q, want) << name << " k=" << k;
        }
    }
}

TEST(Quantize, SplitsCoverEveryItemOnce) {
    for (int64_t n : {0, 1, 7, 64, 1001})
        for (int threads : {1, 2, 3, 8}) {
            int64_t next_b = 0, next_p = 0;
            for (int t = 0; t < threads; ++t) {
                SplitRange b = balanced_split(n, threads, t), p = proportional_split(n, threads, t);
                EXPECT_EQ(b.begin, next_b);
                EXPECT_EQ(p.begin, next_p);
                EXPECT_LE(b.end - b.begin, n / threads + 1);
                next_b = b.end;
                next_p = p.end;
            }
            EXPECT_EQ(next_b, n);
            EXPECT_EQ(next_p, n);
        }
}
