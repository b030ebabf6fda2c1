// Pooling, bilinear upsampling and class-token extraction: the kernels
// against naive references written here (every vector path bit for bit
// against the portable one), and the layers built through the factory from
// node JSON against hand-computed results.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/backend.h"
#include "kernel_test_paths.h"
#include "kernels/pool/avgpool.h"
#include "kernels/pool/maxpool.h"
#include "kernels/pool/upsample_bilinear.h"
#include "layer_test_util.h"
#include "layers/image/maxpool_int8.h"
#include "kernels/quantize.h"

using namespace vantrel;
using namespace vantrel_test;

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
        // Coarse values so windows hold ties; -0 and +0 both appear, -0 in
        // every fourth row only, so that windows with and without it meet.
        for (size_t i = 0; i < n_in; ++i) {
            xf[i] = float(int(rng() % 17) - 8) * 0.5f;
            if (xf[i] == 0.0f && rng() % 2 && i / (size_t(c) * g.w) % 4 == 3) xf[i] = -0.0f;
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
        // A 1 x n input pooled by a 1 x n window; 84 identical channels so
        // the four-vector, one-vector and partial-vector code all see them.
        const int n = int(cs.window.size()), c = 84;
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
    // Rows with and without NaNs and -0 in one image: 2 x 1 windows over 5
    // rows of 3 pixels, row 2 holding a NaN, -0 or a signalling NaN in each
    // pixel; every path gives the portable path's bits in every window.
    const int c = 84, h = 5, w = 3;
    std::vector<float> in(size_t(h * w * c));
    for (size_t i = 0; i < in.size(); ++i) in[i] = float(int(i % 5));
    for (int x = 0; x < w; ++x)
        for (int ch = 0; ch < c; ++ch)
            in[size_t((2 * w + x) * c + ch)] = from_bits(x == 0 ? qnan : x == 1 ? nz : snan);
    std::vector<float> portable;
    for (auto& [name, fn] : runnable_paths<KMaxPoolF32>(VANTREL_KERNEL_VARIANTS(KMaxPoolF32, k_maxpool_f32))) {
        std::vector<float> out(size_t((h - 1) * w * c));
        fn(in.data(), out.data(), c, h, w, 2, 1, 1, 1, 0, 0, nullptr);
        if (portable.empty()) portable = out;
        else EXPECT_EQ(0, std::memcmp(out.data(), portable.data(), out.size() * 4)) << name;
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
                      AvgCase{1, 300, -7, 20, 0.3f, 0.07f}, AvgCase{9, 3, 0, 0, 1.0f, 40.0f},
                      AvgCase{41, 40, 2, 1, 0.1f, 0.1f}));  // from 40 channels a team shares them

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

// ---- bilinear upsampling ----


// The formula step by step in float32, no fused operations.
std::vector<float> ref_bilinear(const std::vector<float>& in, int c, int H, int W, int OH, int OW) {
    std::vector<float> out(size_t(c) * OH * OW);
    const float sys = (1.0f / float(OH)) * float(H), sxs = (1.0f / float(OW)) * float(W);
    auto clampi = [](int v, int hi) { return v < 0 ? 0 : (v > hi ? hi : v); };
    // Output o along an axis of n inputs: its two source indices, the far
    // one's weight f and the near one's weight w.
    struct Taps {
        int i0, i1;
        float f, w;
    };
    auto taps = [&](float scale, int o, int n) {
        float s = scale * (float(o) + 0.5f) - 0.5f;
        int i = int(s);
        return Taps{clampi(i, n - 1), clampi(i + 1, n - 1), s - float(i), (float(i) + 1.5f) - scale * (float(o) + 0.5f)};
    };
    for (int oy = 0; oy < OH; ++oy) {
        const Taps ty = taps(sys, oy, H);
        const int r0 = ty.i0, r1 = ty.i1;
        const float fy = ty.f, wy = ty.w;
        for (int ox = 0; ox < OW; ++ox) {
            const Taps tx = taps(sxs, ox, W);
            const int c0 = tx.i0, c1 = tx.i1;
            const float fx = tx.f, wx = tx.w;
            for (int ch = 0; ch < c; ++ch) {
                float p00 = in[size_t((r0 * W + c0) * c + ch)], p01 = in[size_t((r0 * W + c1) * c + ch)];
                float p10 = in[size_t((r1 * W + c0) * c + ch)], p11 = in[size_t((r1 * W + c1) * c + ch)];
                out[size_t((oy * OW + ox) * c + ch)] =
                    p00 * (wy * wx) + p01 * (wy * fx) + p10 * (fy * wx) + p11 * (fy * fx);
            }
        }
    }
    return out;
}

auto paths() {
    return runnable_paths<KUpsampleBilinearF32>(
        VANTREL_KERNEL_VARIANTS(KUpsampleBilinearF32, k_upsample_bilinear_f32));
}

struct Size {
    int h, w, oh, ow;
};
class UpsampleBilinear : public ::testing::TestWithParam<Size> {};

TEST_P(UpsampleBilinear, MatchesReferenceBitForBit) {
    const Size s = GetParam();
    std::mt19937 rng(s.h * 31 + s.ow);
    std::uniform_real_distribution<float> u(-4.0f, 4.0f);
    std::vector<int> channels;
    for (int i = 1; i <= 40; ++i) channels.push_back(i);
    channels.push_back(64);
    channels.push_back(3);
    for (int c : channels) {
        SCOPED_TRACE("c=" + std::to_string(c));
        std::vector<float> in(size_t(c) * s.h * s.w);
        for (float& v : in) v = u(rng);
        const std::vector<float> ref = ref_bilinear(in, c, s.h, s.w, s.oh, s.ow);
        for (auto& [name, fn] : paths()) {
            std::vector<float> out(ref.size() + 1, 321.0f);
            fn(in.data(), out.data(), c, s.h, s.w, s.oh, s.ow, nullptr);
            EXPECT_EQ(out.back(), 321.0f) << name;  // nothing written past the output
            ASSERT_EQ(0, std::memcmp(out.data(), ref.data(), ref.size() * 4)) << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, UpsampleBilinear,
                         ::testing::Values(Size{1, 1, 2, 2}, Size{2, 3, 4, 6}, Size{5, 7, 10, 14},
                                           Size{3, 3, 7, 5}, Size{4, 4, 2, 2}, Size{7, 5, 7, 5},
                                           Size{1, 9, 3, 17}));

TEST(UpsampleBilinear, HandComputedCases) {
    for (auto& [name, fn] : paths()) {
        // Scale 2 on 1x1: all four taps clamp to the one pixel (weights sum
        // to 1 exactly for these halves), giving 2x2 copies.
        const float px[3] = {0.75f, -2.5f, 10.0f};
        float out[12];
        fn(px, out, 3, 1, 1, 2, 2, nullptr);
        for (int p = 0; p < 4; ++p)
            for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(out[p * 3 + ch], px[ch]) << name;
        // Rows 0 and 1 to four rows: source rows -0.25, 0.25, 0.75, 1.25. The
        // first truncates to row 0 with a negative fraction and extrapolates;
        // the last clamps both taps to row 1.
        const float col[2] = {0.0f, 1.0f};
        float o4[4];
        fn(col, o4, 1, 2, 1, 4, 1, nullptr);
        EXPECT_EQ(o4[0], -0.25f) << name;
        EXPECT_EQ(o4[1], 0.25f) << name;
        EXPECT_EQ(o4[2], 0.75f) << name;
        EXPECT_EQ(o4[3], 1.0f) << name;
    }
}

// An empty input or output computes nothing: no read (null input), no write.
TEST(UpsampleBilinear, EmptyExtentsTouchNothing) {
    for (auto& [name, fn] : paths()) {
        std::vector<float> out(16, 5.0f);
        fn(nullptr, out.data(), 2, 0, 3, 2, 2, nullptr);
        fn(nullptr, out.data(), 2, 3, 0, 2, 2, nullptr);
        const float one[2] = {1, 2};
        fn(one, out.data(), 2, 1, 1, 0, 4, nullptr);
        fn(one, out.data(), 0, 1, 1, 2, 2, nullptr);
        EXPECT_EQ(out, std::vector<float>(16, 5.0f)) << name;
    }
}

std::unique_ptr<ILayer> make(const std::string& json) { return make_layer(json, "p1"); }
std::string run(ILayer& l, TensorView* in, int n, BufferView out, Shape3* shape = nullptr) {
    return forward_error(l, in, n, out, shape);
}

}  // namespace

// ---- layers ----

// 7x7 input whose value at (y, x, ch) is y*7 + x + 100*ch: a 3x3 stride-2
// window's maximum is its bottom-right element. With pad 1 on a negated
// input, the maximum is the window's top-left in-bounds element (a zero from
// the padding would win instead if it were counted).
TEST(PoolLayers, MaxPoolWindowsAndPadding) {
    const int c = 3;
    for (const char* op : {"maxpool_fp32", "maxpool_int8"}) {
        SCOPED_TRACE(op);
        const bool q = std::string(op) == "maxpool_int8";
        for (int pad : {0, 1}) {
            auto l = make(std::string(R"({"op":")") + op + R"(","args":{"pad_h":)" + std::to_string(pad) +
                          R"(,"pad_w":)" + std::to_string(pad) + "}}");
            EXPECT_EQ(l->dtype(), q ? 1 : 0);
            const int o = pad ? 4 : 3;
            EXPECT_EQ(l->output_shape({c, 7, 7}), (Shape3{c, o, o}));
            std::vector<float> xf(7 * 7 * c), yf(size_t(o * o * c));
            std::vector<int8_t> xq(xf.size()), yq(yf.size());
            for (int p = 0; p < 49; ++p)
                for (int ch = 0; ch < c; ++ch) {
                    int v = pad ? -(p + 20 * ch) - 1 : p + 20 * ch;
                    xf[size_t(p * c + ch)] = float(v);
                    xq[size_t(p * c + ch)] = int8_t(v);
                }
            TensorView in = q ? view(xq, {c, 7, 7}) : view(xf, {c, 7, 7});
            Shape3 got;
            ASSERT_EQ(run(*l, &in, 1, q ? out_view(yq) : out_view(yf), &got), "");
            EXPECT_EQ(got, (Shape3{c, o, o}));
            for (int oy = 0; oy < o; ++oy)
                for (int ox = 0; ox < o; ++ox)
                    for (int ch = 0; ch < c; ++ch) {
                        int y = pad ? std::max(2 * oy - 1, 0) : 2 * oy + 2;
                        int x = pad ? std::max(2 * ox - 1, 0) : 2 * ox + 2;
                        int expect = pad ? -(y * 7 + x + 20 * ch) - 1 : y * 7 + x + 20 * ch;
                        size_t i = size_t((oy * o + ox) * c + ch);
                        EXPECT_EQ(q ? int(yq[i]) : int(yf[i]), expect) << oy << "," << ox << "," << ch;
                    }
        }
    }
    // Window larger than the padded input: h + 2p - k = -1 gives no rows.
    auto big = make(R"({"op":"maxpool_fp32","kH":7,"kW":7,"pad_h":1,"pad_w":1})");
    EXPECT_EQ(big->output_shape({4, 4, 4}), (Shape3{4, 0, 0}));
    auto zp = make(R"({"op":"maxpool_int8","in_zp":200,"out_zp":-3})");
    EXPECT_EQ(dynamic_cast<MaxPoolInt8&>(*zp).in_zp, -56);
    EXPECT_EQ(dynamic_cast<MaxPoolInt8&>(*zp).out_zp, -3);
}

// A large float max pooling splits its output rows between threads; each
// band must pool exactly the windows of the whole image (ceil mode's
// clipped last row and a NaN included).
TEST(PoolLayers, MaxPoolRowSplitMatchesOneThread) {
    const int c = 16, h = 98;
    std::vector<float> x(size_t(c * h * h));
    for (size_t i = 0; i < x.size(); ++i) x[i] = float((i * 7919) % 1000) - 500.0f;
    x[size_t((50 * h + 3) * c + 5)] = std::numeric_limits<float>::quiet_NaN();
    const int saved = omp_get_max_threads();
    for (const char* args : {R"("pad_h":1,"pad_w":1)", R"("ceil_mode":true)"}) {
        auto l = make(std::string(R"({"op":"maxpool_fp32","args":{)") + args + "}}");
        const Shape3 os = l->output_shape({c, h, h});
        std::vector<float> y1(size_t(os.c) * os.h * os.w), y2(y1.size());
        TensorView in = view(x, {c, h, h});
        omp_set_num_threads(1);
        ASSERT_EQ(run(*l, &in, 1, out_view(y1)), "");
        omp_set_num_threads(2);
        ASSERT_EQ(run(*l, &in, 1, out_view(y2)), "");
        EXPECT_EQ(0, std::memcmp(y1.data(), y2.data(), y1.size() * 4)) << args;
        if (std::string(args).find("pad") != std::string::npos) {
            const std::vector<float> r = ref_maxpool(x, c, h, h, 3, 3, 2, 2, 1, 1);
            ASSERT_EQ(r.size(), y2.size());
            EXPECT_EQ(0, std::memcmp(r.data(), y2.data(), r.size() * 4));
        }
    }
    omp_set_num_threads(saved);
}

TEST(PoolLayers, AveragePooling) {
    // 1x1 copies; shape {c, 1, 1}.
    auto f = make(R"({"op":"avgpool_fp32"})");
    std::vector<float> x = {1.5f, -7.25f, 3.0f}, y(3);
    TensorView in = view(x, {3, 1, 1});
    Shape3 got;
    ASSERT_EQ(run(*f, &in, 1, out_view(y), &got), "");
    EXPECT_EQ(got, (Shape3{3, 1, 1}));
    EXPECT_EQ(y, x);
    // Empty input: zeros.
    std::vector<float> none;
    TensorView empty = view(none, {3, 0, 5});
    ASSERT_EQ(run(*f, &empty, 1, out_view(y)), "");
    EXPECT_EQ(y, std::vector<float>(3, 0.0f));

    // int8: channel sums 10 and -6 over 4 pixels, r = 0.25 -> 2.5 rounds up
    // to 3 and -1.5 to -1, plus out_zp 2.
    auto q = make(R"({"op":"avgpool_int8","in_scale":0.5,"out_scale":0.5,"in_zp":0,"out_zp":2})");
    EXPECT_EQ(q->dtype(), 1);
    EXPECT_EQ(q->output_shape({2, 2, 2}), (Shape3{2, 1, 1}));
    std::vector<int8_t> xq = {1, -3, 2, 0, 3, -1, 4, -2}, yq(2);
    TensorView qin = view(xq, {2, 2, 2});
    ASSERT_EQ(run(*q, &qin, 1, out_view(yq)), "");
    EXPECT_EQ(yq, (std::vector<int8_t>{5, 1}));
    std::vector<int8_t> qnone;
    TensorView qempty = view(qnone, {2, 0, 0});
    ASSERT_EQ(run(*q, &qempty, 1, out_view(yq)), "");
    EXPECT_EQ(yq, (std::vector<int8_t>{2, 2}));
}

TEST(PoolLayers, BilinearShapes) {
    std::vector<float> x = {4.0f, -1.0f}, y(8);
    // OH = (int)(h * scale + 0.5): 3 * 1.5 -> 5, 3 * 0.5 -> 2, 1 * 0.4 -> 0.
    auto s = make(R"({"op":"upsample_bilinear_fp32","scale_h":1.5,"scale_w":0.5})");
    EXPECT_EQ(s->output_shape({4, 3, 3}), (Shape3{4, 5, 2}));
    auto t = make(R"({"op":"upsample_bilinear_fp32","scale_h":0.4,"scale_w":0.4})");
    EXPECT_EQ(t->output_shape({4, 1, 1}), (Shape3{4, 0, 0}));
    // An extent beyond int32 plans no buffer and is refused in forward.
    auto huge = make(R"({"op":"upsample_bilinear_fp32","scale_h":4,"scale_w":1})");
    EXPECT_EQ(huge->output_shape({1, 1 << 30, 1}), (Shape3{1, 0, 1}));
    TensorView big = view(x, {1, 1 << 30, 1});
    EXPECT_NE(run(*huge, &big, 1, out_view(y)).find("does not fit 32 bits"), std::string::npos);
}

TEST(PoolLayers, ClsExtractCopiesTokenZeroOnTheHost) {
    auto l = make(R"({"op":"cls_extract_fp32"})");
    EXPECT_EQ(l->device_kind(), 0);
    std::vector<float> x(768 * 197), y(768, -1.0f);
    for (size_t i = 0; i < x.size(); ++i) x[i] = float(i) * 0.5f;
    TensorView in = view(x, {768, 197, 1});
    Shape3 got;
    ASSERT_EQ(run(*l, &in, 1, out_view(y), &got), "");
    EXPECT_EQ(got, (Shape3{768, 1, 1}));
    EXPECT_EQ(y, std::vector<float>(x.begin(), x.begin() + 768));
    TensorView none = view(x, {768, 0, 1});
    EXPECT_NE(run(*l, &none, 1, out_view(y)).find("has no token"), std::string::npos);
}

struct Reject {
    const char* json;
    const char* message;
};
class PoolLayerArgs : public ::testing::TestWithParam<Reject> {};
TEST_P(PoolLayerArgs, RefusedAtConstructionNamingNodeAndArgument) {
    try {
        make(GetParam().json);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("'p1'"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}
INSTANTIATE_TEST_SUITE_P(
    Bad, PoolLayerArgs,
    ::testing::Values(Reject{R"({"op":"maxpool_int8","kW":-2})", "'kW' must be at least 1"},
                      Reject{R"({"op":"avgpool_int8","out_scale":0})", "'out_scale' must be finite and positive"},
                      Reject{R"({"op":"avgpool_int8","out_scale":1e39})", "'out_scale' must be finite and positive"},
                      Reject{R"({"op":"avgpool_int8","in_scale":-1e39})", "'in_scale' must be finite"},
                      Reject{R"({"op":"upsample_bilinear_fp32","scale_w":-2})", "'scale_w' must be finite and positive"}));

// forward refuses missing inputs and views that do not hold what is indexed.
TEST(PoolLayers, ForwardChecksViews) {
    const char* ops[] = {"maxpool_fp32", "maxpool_int8", "avgpool_fp32", "avgpool_int8",
                         "upsample_bilinear_fp32", "cls_extract_fp32"};
    for (const char* op : ops) {
        SCOPED_TRACE(op);
        auto l = make(std::string(R"({"op":")") + op + "\"}");
        std::vector<float> x(4 * 5 * 5, 1.0f), y(4 * 10 * 10);
        TensorView in = view(x, {4, 5, 5});
        EXPECT_NE(run(*l, &in, 0, out_view(y)).find("needs 1 input"), std::string::npos);
        TensorView short_in = in;
        short_in.bytes = 4 * 5 * 5 - 1;  // too short even for int8
        EXPECT_NE(run(*l, &short_in, 1, out_view(y)).find("input 0 holds"), std::string::npos);
        BufferView small{y.data(), 0, 3};
        EXPECT_NE(run(*l, &in, 1, small).find("output buffer holds"), std::string::npos);
        EXPECT_EQ(run(*l, &in, 1, out_view(y)), "");
    }
    // A shape whose element count does not fit 64 bits is refused, not wrapped.
    auto l = make(R"({"op":"avgpool_fp32"})");
    std::vector<float> x(4), y(4);
    TensorView in = view(x, {1 << 30, 1 << 30, 1 << 30});
    EXPECT_NE(run(*l, &in, 1, out_view(y)).find("is too large"), std::string::npos);
}
