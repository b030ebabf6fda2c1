// The int8 image kernels with vector versions, every path against a scalar
// reference written here: table lookup (every code, tails of every length),
// float <-> int8 conversion (ties, saturation, NaN and infinities), the
// per-channel product (exact rounding of a 64-bit product, extreme scales),
// ceil-mode max pooling (windows cut at the input's edge), and int8 average
// pooling (each path gives the portable bytes; PyTorch checks those in
// tests/python/test_int8_image_ops.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "kernel_test_paths.h"
#include "kernels/elementwise/int8_channels.h"
#include "kernels/elementwise/lut_s8.h"
#include "kernels/quantize.h"
#include "kernels/elementwise/quantize_s8.h"
#include "kernels/pool/avgpool2d_s8.h"
#include "kernels/pool/maxpool.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {
std::vector<int8_t> codes(size_t n, uint32_t seed) {
    std::vector<int8_t> v(n);
    uint32_t s = seed * 2654435761u + 1;
    for (auto& x : v) {
        s = s * 1664525u + 1013904223u;
        x = int8_t(s >> 24);
    }
    return v;
}
}  // namespace

TEST(LutS8, EveryPathLooksUpEveryCode) {
    using Fn = void (*)(const int8_t*, const int8_t*, int8_t*, int64_t, void*);
    const std::vector<int8_t> table = codes(256, 7);
    for (int64_t n : {1, 15, 16, 17, 31, 32, 63, 64, 65, 256, 300}) {
        std::vector<int8_t> x = codes(size_t(n), uint32_t(n));
        for (int64_t i = 0; i < n && i < 256; ++i) x[size_t(i)] = int8_t(i - 128);
        for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(Fn, k_lut_s8))) {
            std::vector<int8_t> y(size_t(n) + 1, 99);
            fn(x.data(), table.data(), y.data(), n, nullptr);
            for (int64_t i = 0; i < n; ++i)
                ASSERT_EQ(y[size_t(i)], table[size_t(x[size_t(i)] + 128)]) << path << " n=" << n << " at " << i;
            EXPECT_EQ(y.back(), 99) << path << " wrote past n";
        }
    }
}

TEST(QuantizeS8, EveryPathRoundsHalfToEvenSaturatesAndDequantises) {
    using Q = void (*)(const float*, int8_t*, int64_t, float, int32_t, void*);
    using D = void (*)(const int8_t*, float*, int64_t, float, int32_t, void*);
    const float scale = 0.25f;
    const int32_t zp = -3;
    std::vector<float> x = randn(70, 3, 12.0f);
    const float inf = std::numeric_limits<float>::infinity();
    for (float v : {0.125f, -0.125f, 0.375f, 31.0f, 32.0f, -33.0f, 1e30f, -1e30f, inf, -inf, NAN, -0.0f})
        x.push_back(v);
    for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(Q, k_quantize_s8))) {
        std::vector<int8_t> y(x.size());
        fn(x.data(), y.data(), int64_t(x.size()), scale, zp, nullptr);
        for (size_t i = 0; i < x.size(); ++i) {
            float r = std::nearbyint(x[i] / scale) + float(zp);
            int32_t want = std::isnan(r) ? zp : int32_t(std::fmax(-128.0f, std::fmin(127.0f, r)));
            ASSERT_EQ(int(y[i]), want) << path << " x=" << x[i];
        }
    }
    const std::vector<int8_t> q = codes(77, 5);
    for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(D, k_dequantize_s8))) {
        std::vector<float> y(q.size());
        fn(q.data(), y.data(), int64_t(q.size()), scale, zp, nullptr);
        for (size_t i = 0; i < q.size(); ++i) ASSERT_EQ(y[i], float(q[i] - zp) * scale) << path << " at " << i;
    }
}

TEST(MaxPoolCeilS8, EveryPathTakesTheMaximumOfClippedWindows) {
    using Fn = void (*)(const int8_t*, int8_t*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                        int32_t, int32_t, int32_t, int32_t, void*);
    // SqueezeNet/GoogLeNet pools: 3x3 stride 2 (ceil), and a 2x2 with pad 1.
    for (auto [c, h, w, k, s, p] : {std::array<int, 6>{5, 7, 8, 3, 2, 0}, {70, 6, 5, 3, 2, 1}, {33, 4, 4, 2, 2, 1}}) {
        const int oh = int(pool_out_extent_ceil(h, k, s, p)), ow = int(pool_out_extent_ceil(w, k, s, p));
        const std::vector<int8_t> x = codes(size_t(c * h * w), uint32_t(c));
        for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(Fn, k_maxpool_ceil_s8))) {
            std::vector<int8_t> y(size_t(c * oh * ow) + 1, 99);
            fn(x.data(), y.data(), c, h, w, oh, ow, k, k, s, s, p, p, nullptr);
            for (int oy = 0; oy < oh; ++oy)
                for (int ox = 0; ox < ow; ++ox)
                    for (int ch = 0; ch < c; ++ch) {
                        int m = -128;
                        for (int iy = oy * s - p; iy < oy * s - p + k; ++iy)
                            for (int ix = ox * s - p; ix < ox * s - p + k; ++ix)
                                if (iy >= 0 && iy < h && ix >= 0 && ix < w)
                                    m = std::max(m, int(x[size_t((iy * w + ix) * c + ch)]));
                        ASSERT_EQ(int(y[size_t((oy * ow + ox) * c + ch)]), m) << path << " " << oy << "," << ox;
                    }
            EXPECT_EQ(y.back(), 99) << path;
        }
    }
}

TEST(ChannelMulS8, EveryPathRoundsTheScaledProductOnce) {
    using Fn = void (*)(const int8_t*, const int8_t*, int8_t*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                        int32_t, void*);
    const int rows = 3;
    for (float scale : {0.0031f, 0.37f, 1.9f, 1e-12f, 3e9f}) {
        const QuantMultiplier q = quantize_multiplier(scale);
        for (int c : {1, 15, 16, 33, 70}) {
            const std::vector<int8_t> x = codes(size_t(rows * c), uint32_t(c)), s = codes(size_t(c), uint32_t(c + 9));
            for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(Fn, k_channel_mul_s8))) {
                std::vector<int8_t> y(x.size() + 1, 99);
                fn(x.data(), s.data(), y.data(), rows, c, -5, 17, 3, q.multiplier, q.shift, nullptr);
                for (int i = 0; i < rows * c; ++i) {
                    // The exact product of the codes and the multiplier, rounded half up.
                    const long double v = (long double)((x[size_t(i)] + 5) * (s[size_t(i % c)] - 17)) *
                                          q.multiplier * std::ldexp(1.0L, q.shift - 31);
                    const long double want = std::fmax(-128.0L, std::fmin(127.0L, std::floor(v + 0.5L) + 3));
                    ASSERT_EQ(int(y[size_t(i)]), int(want)) << path << " scale " << scale << " at " << i;
                }
                EXPECT_EQ(y.back(), 99) << path;
            }
        }
    }
}

TEST(AvgPoolS8, EveryPathGivesThePortableBytes) {
    using W = void (*)(const int8_t*, int8_t*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                       int32_t, int32_t, int32_t, int32_t, bool, int32_t, int32_t, float, void*);
    using A = void (*)(const int8_t*, int8_t*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, float,
                       void*);
    // More than one 256-channel block, and ratios from tiny to saturating.
    for (int c : {7, 300}) {
        const int h = 6, w = 5;
        const std::vector<int8_t> x = codes(size_t(c * h * w), uint32_t(c));
        for (float ratio : {1.37f, 1e-9f, 5e9f}) {
            const int oh = int(pool_out_extent_ceil(h, 3, 2, 1)), ow = int(pool_out_extent_ceil(w, 3, 2, 1));
            std::vector<int8_t> want(size_t(c * oh * ow)), want_a(size_t(c * 4 * 3));
            k_avgpool2d_s8(x.data(), want.data(), c, h, w, oh, ow, 3, 3, 2, 2, 1, 1, false, -9, 4, ratio, nullptr);
            k_adaptive_avgpool_s8(x.data(), want_a.data(), c, h, w, 4, 3, -9, 4, ratio, nullptr);
            for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(W, k_avgpool2d_s8))) {
                std::vector<int8_t> y(want.size());
                fn(x.data(), y.data(), c, h, w, oh, ow, 3, 3, 2, 2, 1, 1, false, -9, 4, ratio, nullptr);
                ASSERT_EQ(y, want) << path << " c=" << c << " ratio " << ratio;
            }
            for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(A, k_adaptive_avgpool_s8))) {
                std::vector<int8_t> y(want_a.size());
                fn(x.data(), y.data(), c, h, w, 4, 3, -9, 4, ratio, nullptr);
                ASSERT_EQ(y, want_a) << path << " c=" << c << " ratio " << ratio;
            }
        }
    }
}
