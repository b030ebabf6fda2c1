// Bilinear upsampling against a float reference of the half-pixel formula
// written here, hand-computed cases, and every vector path against the
// portable one bit for bit.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/backend.h"
#include "kernel_test_paths.h"
#include "kernels/pool/upsample_bilinear.h"

using namespace vantrel;
using vantrel_test::runnable_paths;

namespace {

// The formula step by step in float32, no fused operations.
std::vector<float> ref_bilinear(const std::vector<float>& in, int c, int H, int W, int OH, int OW) {
    std::vector<float> out(size_t(c) * OH * OW);
    const float sys = (1.0f / float(OH)) * float(H), sxs = (1.0f / float(OW)) * float(W);
    auto clampi = [](int v, int hi) { return v < 0 ? 0 : (v > hi ? hi : v); };
    for (int oy = 0; oy < OH; ++oy) {
        float sy = sys * (float(oy) + 0.5f) - 0.5f;
        int y0 = int(sy);
        float fy = sy - float(y0);
        float wy = (float(y0) + 1.5f) - sys * (float(oy) + 0.5f);
        int r0 = clampi(y0, H - 1), r1 = clampi(y0 + 1, H - 1);
        for (int ox = 0; ox < OW; ++ox) {
            float sx = sxs * (float(ox) + 0.5f) - 0.5f;
            int x0 = int(sx);
            float fx = sx - float(x0);
            float wx = (float(x0) + 1.5f) - sxs * (float(ox) + 0.5f);
            int c0 = clampi(x0, W - 1), c1 = clampi(x0 + 1, W - 1);
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

}  // namespace
