// Max and global average pooling kernels against naive references written
// here, and every vector path against the portable one bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/backend.h"
#include "kernel_test_paths.h"
#include "kernels/pool/avgpool.h"
#include "kernels/pool/maxpool.h"
#include "kernels/quantize.h"

using namespace vantrel;
using vantrel_test::runnable_paths;
using vantrel_test::same_float;

namespace {

const std::vector<int> kChannels = [] {
    std::vector<int> c;
    for (int i = 1; i <= 40; ++i) c.push_back(i);
    c.push_back(64);
    c.push_back(3);
    return c;
}();

// Number of window starts that fit in the padded input, counted one by one.
int64_t ref_extent(int64_t in, int k, int s, int p) {
    int64_t n = 0;
    for (int64_t start = 0; start + k <= in + 2 * p; start += s) ++n;
    return n;
}

// Naive max pooling; a NaN anywhere in the window gives NaN.
template <class T>
std::vector<T> ref_maxpool(const std::vector<T>& in, int c, int h, int w, int kh, int kw, int sh,
                           int sw, int ph, int pw) {
    const int64_t oh = ref_extent(h, kh, sh, ph), ow = ref_extent(w, kw, sw, pw);
    std::vector<T> out(size_t(oh * ow * c));
    for (int64_t oy = 0; oy < oh; ++oy)
        for (int64_t ox = 0; ox < ow; ++ox)
            for (int ch = 0; ch < c; ++ch) {
                T m = std::numeric_limits<T>::lowest();
                if (std::is_floating_point<T>::value) m = -std::numeric_limits<T>::infinity();
                bool nan = false;
                for (int ky = 0; ky < kh; ++ky)
                    for (int kx = 0; kx < kw; ++kx) {
                        int64_t iy = oy * sh - ph + ky, ix = ox * sw - pw + kx;
                        if (iy < 0 || iy >= h || ix < 0 || ix >= w) continue;
                        T v = in[size_t((iy * w + ix) * c + ch)];
                        if (v != v) nan = true;
                        else if (v > m) m = v;
                    }
                out[size_t((oy * ow + ox) * c + ch)] = nan ? std::numeric_limits<T>::quiet_NaN() : m;
            }
    return out;
}

struct PoolGeom {
    int h, w, kh, kw, sh, sw, ph, pw;
};

class MaxPoolKernels : public ::testing::TestWithParam<PoolGeom> {};

TEST_P(MaxPoolKernels, MatchReferenceAndPortable) {
    const PoolGeom g = GetParam();
    auto f32 = runnable_paths<KMaxPoolF32>(VANTREL_KERNEL_VARIANTS(KMaxPoolF32, k_maxpool_f32));
    auto s8 = runnable_paths<KMaxPoolS8>(VANTREL_KERNEL_VARIANTS(KMaxPoolS8, k_maxpool_s8));
    std::mt19937 rng(g.h * 131 + g.kh * 7 + g.ph);
    for (int c : kChannels) {
        SCOPED_TRACE("c=" + std::to_string(c));
        const size_t n_in = size_t(c) * g.h * g.w;
        std::vector<float> xf(n_in);
        std::vector<int8_t> xq(n_in);
        // Coarse values so windows hold ties; -0 and +0 both appear.
        for (size_t i = 0; i < n_in; ++i) {
            xf[i] = float(int(rng() % 17) - 8) * 0.5f;
            if (xf[i] == 0.0f && rng() % 2) xf[i] = -0.0f;
            xq[i] = int8_t(int(rng() % 256) - 128);
        }
        auto rf = ref_maxpool(xf, c, g.h, g.w, g.kh, g.kw, g.sh, g.sw, g.ph, g.pw);
        auto rq = ref_maxpool(xq, c, g.h, g.w, g.kh, g.kw, g.sh, g.sw, g.ph, g.pw);
        ASSERT_EQ(pool_out_extent(g.h, g.kh, g.sh, g.ph) * pool_out_extent(g.w, g.kw, g.sw, g.pw) * c,
                  int64_t(rf.size()));
        std::vector<float> portable_f;
        for (auto& [name, fn] : f32) {
            std::vector<float> out(rf.size() + 1, 12345.0f);  // last element: overrun guard
            fn(xf.data(), out.data(), c, g.h, g.w, g.kh, g.kw, g.sh, g.sw, g.ph, g.pw, nullptr);
            EXPECT_EQ(out.back(), 12345.0f) << name;
            out.pop_back();
            for (size_t i = 0; i < rf.size(); ++i) ASSERT_EQ(out[i], rf[i]) << name << " at " << i;
            if (portable_f.empty()) portable_f = out;
            else EXPECT_EQ(0, std::memcmp(out.data(), portable_f.data(), out.size() * 4)) << name;
        }
        for (auto& [name, fn] : s8) {
            std::vector<int8_t> out(rq.size() + 1, 77);
            fn(xq.data(), out.data(), c, g.h, g.w, g.kh, g.kw, g.sh, g.sw, g.ph, g.pw, nullptr);
            EXPECT_EQ(out.back(), 77) << name;
            out.pop_back();
            EXPECT_EQ(out, rq) << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, MaxPoolKernels,
    ::testing::Values(PoolGeom{7, 7, 3, 3, 2, 2, 0, 0},   // 3x3 output
                      PoolGeom{7, 7, 3, 3, 2, 2, 1, 1},   // border windows clipped
                      PoolGeom{5, 9, 2, 3, 1, 2, 1, 0}, PoolGeom{6, 5, 3, 2, 3, 2, 2, 1},
                      PoolGeom{3, 3, 5, 5, 1, 1, 1, 1},   // window as large as the padded input
                      PoolGeom{2, 2, 1, 1, 1, 1, 3, 3},   // most windows entirely in padding
                      PoolGeom{4, 4, 7, 7, 2, 2, 1, 1},   // h + 2p - k = -1: no output
                      PoolGeom{1, 1, 1, 1, 1, 1, 0, 0}));

TEST(MaxPoolKernels, ExtentsAndPaddingOnlyWindows) {
    EXPECT_EQ(pool_out_extent(7, 3, 2, 0), 3);
    // h + 2p - k < 0 gives 0 (truncating -1 / 2 would give 0 + 1 = 1).
    EXPECT_EQ(pool_out_extent(4, 7, 2, 1), 0);
    EXPECT_EQ(pool_out_extent(4, 7, 2, 0), 0);
    EXPECT_EQ(pool_out_extent(5, 3, 0, 0), 0);
    // 1x1 input, 1x1 window, pad 2: only the centre output sees the input.
    float xf[2] = {-5.0f, 3.0f};
    int8_t xq[2] = {-100, 4};
    for (auto& [name, fn] : runnable_paths<KMaxPoolF32>(VANTREL_KERNEL_VARIANTS(KMaxPoolF32, k_maxpool_f32))) {
        std::vector<float> out(2 * 25 * 2, 0.0f);
        fn(xf, out.data(), 2, 1, 1, 1, 1, 1, 1, 2, 2, nullptr);
        for (int p = 0; p < 25; ++p)
            for (int ch = 0; ch < 2; ++ch)
                EXPECT_EQ(out[size_t(p * 2 + ch)], p == 12 ? xf[ch] : -INFINITY) << name << p;
    }
    for (auto& [name, fn] : runnable_paths<KMaxPoolS8>(VANTREL_KERNEL_VARIANTS(KMaxPoolS8, k_maxpool_s8))) {
        std::vector<int8_t> out(2 * 25, 0);
        fn(xq, out.data(), 2, 1, 1, 1, 1, 1, 1, 2, 2, nullptr);
        for (int p = 0; p < 25; ++p)
            for (int ch = 0; ch < 2; ++ch) EXPECT_EQ(out[size_t(p * 2 + ch)], p == 12 ? xq[ch] : -128) << name;
    }
}

float from_bits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

// NaN and signed zeros follow one rule on every path: +0 beats -0, a NaN
// wins and stays, a signalling NaN comes out quietened with its payload.
TEST(MaxPoolKernels, NanAndSignedZeroRule) {
    const uint32_t qnan = 0x7fc00123u, snan = 0x7f800456u;
    struct Case {
        std::vector<uint32_t> window;
        uint32_t expect;
    };
    const uint32_t pz = 0x00000000u, nz = 0x80000000u, one = 0x3f800000u, two = 0x40000000u;
    std::vector<Case> cases = {{{nz, pz}, pz},       {{pz, nz}, pz},          {{nz, nz}, nz},
                               {{one, qnan, two}, qnan}, {{qnan, two}, qnan}, {{snan, one}, snan | 0x00400000u},
                               {{qnan, snan}, snan | 0x00400000u}, {{snan, qnan}, snan | 0x00400000u}};
    for (const Case& cs : cases) {
        // A 1 x n input pooled by a 1 x n window; 20 identical channels so
        // the vector and partial-vector code both see the values.
        const int n = int(cs.window.size()), c = 20;
        std::vector<float> in(size_t(n * c));
        for (int i = 0; i < n; ++i)
            for (int ch = 0; ch < c; ++ch) in[size_t(i * c + ch)] = from_bits(cs.window[size_t(i)]);
        for (auto& [name, fn] : runnable_paths<KMaxPoolF32>(VANTREL_KERNEL_VARIANTS(KMaxPoolF32, k_maxpool_f32))) {
            std::vector<float> out(static_cast<size_t>(c));
            fn(in.data(), out.data(), c, 1, n, 1, n, 1, 1, 0, 0, nullptr);
            for (int ch = 0; ch < c; ++ch)
                EXPECT_EQ(vantrel_test::float_bits(out[size_t(ch)]), cs.expect) << name << " ch " << ch;
        }
    }
}

// ---- global average pooling ----

struct AvgCase {
    int h, w;
    int32_t in_zp, out_zp;
    float in_scale, out_scale;
};

class AvgPoolKernels : public ::testing::TestWithParam<AvgCase> {};

// Reference of the fixed-point formula with 64-bit sums (no wrap at these
// sizes), and the float formula in pixel order.
int8_t ref_avg_s8(const std::vector<int8_t>& in, int c, int ch, int64_t pixels, const AvgCase& a) {
    int64_t s = 0;
    for (int64_t p = 0; p < pixels; ++p) s += in[size_t(p * c + ch)] - a.in_zp;
    QuantMultiplier q = quantize_multiplier(a.in_scale / (float(pixels) * a.out_scale));
    int64_t y = (s * q.multiplier + (int64_t(1) << (30 - q.shift))) >> (31 - q.shift);
    y += a.out_zp;
    return int8_t(y < -128 ? -128 : y > 127 ? 127 : y);
}

TEST_P(AvgPoolKernels, MatchReferenceAndPortable) {
    const AvgCase a = GetParam();
    const int64_t pixels = int64_t(a.h) * a.w;
    auto f32 = runnable_paths<KAvgPoolF32>(VANTREL_KERNEL_VARIANTS(KAvgPoolF32, k_avgpool_f32));
    auto s8 = runnable_paths<KAvgPoolS8>(VANTREL_KERNEL_VARIANTS(KAvgPoolS8, k_avgpool_s8));
    std::mt19937 rng(a.h * 977 + a.w);
    std::vector<int> channels = kChannels;
    channels.push_back(65);
    channels.push_back(130);
    for (int c : channels) {
        SCOPED_TRACE("c=" + std::to_string(c));
        std::vector<float> xf(size_t(pixels * c));
        std::vector<int8_t> xq(xf.size());
        std::uniform_real_distribution<float> u(-3.0f, 3.0f);
        for (size_t i = 0; i < xf.size(); ++i) {
            xf[i] = u(rng);
            xq[i] = int8_t(int(rng() % 256) - 128);
        }
        std::vector<float> rf(static_cast<size_t>(c));
        std::vector<int8_t> rq(static_cast<size_t>(c));
        const float inv = 1.0f / float(pixels);
        for (int ch = 0; ch < c; ++ch) {
            float s = 0.0f;
            for (int64_t p = 0; p < pixels; ++p) s += xf[size_t(p * c + ch)];
            rf[size_t(ch)] = s * inv;
            rq[size_t(ch)] = ref_avg_s8(xq, c, ch, pixels, a);
            // The fixed-point result is the rounded real mean, within one code.
            double mean = 0;
            for (int64_t p = 0; p < pixels; ++p) mean += xq[size_t(p * c + ch)] - a.in_zp;
            double real = std::round(mean / double(pixels) * a.in_scale / a.out_scale) + a.out_zp;
            real = std::fmin(127, std::fmax(-128, real));
            ASSERT_NEAR(rq[size_t(ch)], real, 1.0);
        }
        for (auto& [name, fn] : f32) {
            std::vector<float> out(size_t(c) + 1, 9.0f);
            fn(xf.data(), out.data(), c, a.h, a.w, nullptr);
            EXPECT_EQ(out.back(), 9.0f) << name;
            out.pop_back();
            for (int ch = 0; ch < c; ++ch) ASSERT_TRUE(same_float(out[size_t(ch)], rf[size_t(ch)])) << name << ch;
        }
        for (auto& [name, fn] : s8) {
            std::vector<int8_t> out(size_t(c) + 1, 55);
            fn(xq.data(), a.in_zp, a.out_zp, out.data(), c, a.h, a.w, nullptr, a.in_scale, a.out_scale);
            EXPECT_EQ(out.back(), 55) << name;
            out.pop_back();
            EXPECT_EQ(out, rq) << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, AvgPoolKernels,
    ::testing::Values(AvgCase{1, 1, 0, 0, 1.0f, 1.0f},      // copies
                      AvgCase{3, 5, 3, -5, 0.05f, 0.1f}, AvgCase{7, 7, -128, 127, 1.0f, 0.5f},
                      AvgCase{17, 16, 10, 0, 0.02f, 0.01f},  // 272 pixels: crosses a 256-pixel run
                      AvgCase{1, 300, -7, 20, 0.3f, 0.07f}, AvgCase{9, 3, 0, 0, 1.0f, 40.0f}));

// h*w == 0: no pixel is read; float means are 0, int8 means are out_zp.
TEST(AvgPoolKernels, EmptyInputAndOneByOneCopy) {
    for (auto& [name, fn] : runnable_paths<KAvgPoolF32>(VANTREL_KERNEL_VARIANTS(KAvgPoolF32, k_avgpool_f32))) {
        std::vector<float> out(5, 7.0f);
        fn(nullptr, out.data(), 5, 0, 3, nullptr);
        EXPECT_EQ(out, std::vector<float>(5, 0.0f)) << name;
        const float x[3] = {1.5f, -2.25f, 3e-39f};
        fn(x, out.data(), 3, 1, 1, nullptr);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(out[size_t(i)], x[i]) << name;
    }
    for (auto& [name, fn] : runnable_paths<KAvgPoolS8>(VANTREL_KERNEL_VARIANTS(KAvgPoolS8, k_avgpool_s8))) {
        std::vector<int8_t> out(5, 7);
        fn(nullptr, 3, -9, out.data(), 5, 4, 0, nullptr, 1.0f, 1.0f);
        EXPECT_EQ(out, std::vector<int8_t>(5, -9)) << name;
        fn(nullptr, 3, 300, out.data(), 5, 0, 0, nullptr, 1.0f, 1.0f);
        EXPECT_EQ(out, std::vector<int8_t>(5, 127)) << name;
    }
}

// 17.8M pixels of -128 with in_zp 100: both the sum of (in - in_zp),
// -4.1e9, and the plain byte sum, -2.3e9, are beyond int32, so a 32-bit sum
// of either kind would wrap. The mean -228 / out_scale 4 is -57.
TEST(AvgPoolKernels, SumsBeyondInt32DoNotWrap) {
    const int h = 4352, w = 4096;
    std::vector<int8_t> in(size_t(h) * w, -128);
    for (auto& [name, fn] : runnable_paths<KAvgPoolS8>(VANTREL_KERNEL_VARIANTS(KAvgPoolS8, k_avgpool_s8))) {
        int8_t out = 0;
        fn(in.data(), 100, 3, &out, 1, h, w, nullptr, 1.0f, 4.0f);
        EXPECT_EQ(out, -54) << name;
    }
}

}  // namespace
