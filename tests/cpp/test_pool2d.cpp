// Ceil-mode max pooling, windowed and adaptive average pooling: the kernels
// against naive references of PyTorch's rules written here (every vector
// path bit for bit against the portable one), and the layers' argument
// checks and shapes through the factory.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/backend.h"
#include "kernel_test_paths.h"
#include "kernels/pool/avgpool2d.h"
#include "kernels/pool/maxpool.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

const int kChannels[] = {1, 3, 8, 17, 40, 64, 65, 133};

// PyTorch's pooling_output_shape: rounding division, then in ceil mode the
// last window must start inside the input or the left padding.
int64_t torch_extent(int64_t in, int k, int s, int p, bool ceil) {
    const int64_t num = in + 2 * p - k + (ceil ? s - 1 : 0);
    int64_t o = int64_t(std::floor(double(num) / s)) + 1;
    if (ceil && (o - 1) * s >= in + p) --o;
    return o < 0 ? 0 : o;
}

struct Geom {
    int h, w, kh, kw, sh, sw, ph, pw;
    bool ceil, include_pad;
};

// PyTorch's CPU avg_pool2d / max_pool2d per output: the window cut at the
// padded input gives the count_include_pad divisor, then it is clipped to
// the input. Sums in (row, column) order from 0, one division.
void ref_pool(const std::vector<float>& x, int c, const Geom& g, int64_t oh, int64_t ow, std::vector<float>& avg,
              std::vector<float>& mx) {
    avg.assign(size_t(oh * ow * c), 0.0f);
    mx.assign(avg.size(), 0.0f);
    for (int64_t oy = 0; oy < oh; ++oy)
        for (int64_t ox = 0; ox < ow; ++ox) {
            int64_t hs = oy * g.sh - g.ph, ws = ox * g.sw - g.pw;
            int64_t he = std::min<int64_t>(hs + g.kh, g.h + g.ph), we = std::min<int64_t>(ws + g.kw, g.w + g.pw);
            const int64_t pool = (he - hs) * (we - ws);
            hs = std::max<int64_t>(hs, 0), ws = std::max<int64_t>(ws, 0);
            he = std::min<int64_t>(he, g.h), we = std::min<int64_t>(we, g.w);
            const int64_t div = g.include_pad ? pool : (he - hs) * (we - ws);
            for (int ch = 0; ch < c; ++ch) {
                float s = 0.0f, m = -std::numeric_limits<float>::infinity();
                for (int64_t iy = hs; iy < he; ++iy)
                    for (int64_t ix = ws; ix < we; ++ix) {
                        const float v = x[size_t((iy * g.w + ix) * c + ch)];
                        s += v;
                        m = std::max(m, v);
                    }
                const size_t o = size_t((oy * ow + ox) * c + ch);
                avg[o] = (hs < he && ws < we) ? s / float(div) : 0.0f;
                mx[o] = m;
            }
        }
}

class Pool2dKernels : public ::testing::TestWithParam<Geom> {};

TEST_P(Pool2dKernels, MatchPyTorchRulesOnEveryPath) {
    const Geom g = GetParam();
    const int64_t oh = torch_extent(g.h, g.kh, g.sh, g.ph, g.ceil), ow = torch_extent(g.w, g.kw, g.sw, g.pw, g.ceil);
    ASSERT_EQ(pool_out_extent(g.h, g.kh, g.sh, g.ph, g.ceil), oh);
    ASSERT_EQ(pool_out_extent(g.w, g.kw, g.sw, g.pw, g.ceil), ow);
    auto avg = runnable_paths<KAvgPool2dF32>(VANTREL_KERNEL_VARIANTS(KAvgPool2dF32, k_avgpool2d_f32));
    auto mx = runnable_paths<KMaxPoolCeilF32>(VANTREL_KERNEL_VARIANTS(KMaxPoolCeilF32, k_maxpool_ceil_f32));
    for (int c : kChannels) {
        SCOPED_TRACE("c=" + std::to_string(c));
        const std::vector<float> x = uniform(size_t(c) * g.h * g.w, uint32_t(c * 31 + g.h), -3.0f, 3.0f);
        std::vector<float> ra, rm;
        ref_pool(x, c, g, oh, ow, ra, rm);
        for (auto& [name, fn] : avg) {
            std::vector<float> out(ra.size() + 1, 77.0f);  // last element: overrun guard
            fn(x.data(), out.data(), c, g.h, g.w, int32_t(oh), int32_t(ow), g.kh, g.kw, g.sh, g.sw, g.ph, g.pw,
               g.include_pad, nullptr);
            EXPECT_EQ(out.back(), 77.0f) << name;
            ASSERT_EQ(0, std::memcmp(out.data(), ra.data(), ra.size() * 4)) << name;
        }
        std::vector<float> floor_mode(rm.size());
        if (!g.ceil) {
            k_maxpool_f32(x.data(), floor_mode.data(), c, g.h, g.w, g.kh, g.kw, g.sh, g.sw, g.ph, g.pw, nullptr);
        }
        for (auto& [name, fn] : mx) {
            std::vector<float> out(rm.size() + 1, 77.0f);
            fn(x.data(), out.data(), c, g.h, g.w, int32_t(oh), int32_t(ow), g.kh, g.kw, g.sh, g.sw, g.ph, g.pw,
               nullptr);
            EXPECT_EQ(out.back(), 77.0f) << name;
            ASSERT_EQ(0, std::memcmp(out.data(), rm.data(), rm.size() * 4)) << name;
            // On floor extents it is the existing kernel.
            if (!g.ceil) {
                EXPECT_EQ(0, std::memcmp(out.data(), floor_mode.data(), rm.size() * 4)) << name;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, Pool2dKernels,
    ::testing::Values(Geom{8, 8, 3, 3, 2, 2, 0, 0, true, false},    // ceil adds a clipped last window
                      Geom{8, 8, 3, 3, 2, 2, 1, 1, true, true},     // ... running past the padded input
                      Geom{8, 8, 3, 3, 2, 2, 1, 1, true, false},
                      Geom{5, 5, 2, 2, 2, 2, 1, 1, true, true},     // window starting in the right pad dropped
                      Geom{6, 9, 3, 2, 3, 2, 1, 1, true, true},
                      Geom{2, 3, 3, 3, 2, 2, 0, 0, true, false},    // window larger than the input: one output
                      Geom{7, 5, 3, 3, 1, 1, 1, 1, false, true}, Geom{7, 5, 3, 3, 1, 1, 1, 1, false, false},
                      Geom{13, 11, 5, 3, 3, 2, 2, 1, true, false}, Geom{1, 1, 1, 1, 1, 1, 0, 0, false, false}));

struct Adaptive {
    int h, w, oh, ow;
};
class AdaptiveKernels : public ::testing::TestWithParam<Adaptive> {};

TEST_P(AdaptiveKernels, BinsMatchReferenceOnEveryPath) {
    const Adaptive a = GetParam();
    auto paths = runnable_paths<KAdaptiveAvgPoolF32>(VANTREL_KERNEL_VARIANTS(KAdaptiveAvgPoolF32, k_adaptive_avgpool_f32));
    auto bin = [](int64_t i, int in, int out, int64_t& b, int64_t& e) {
        b = int64_t(std::floor(double(i) * in / out));
        e = int64_t(std::ceil(double(i + 1) * in / out));
    };
    for (int c : kChannels) {
        SCOPED_TRACE("c=" + std::to_string(c));
        const std::vector<float> x = uniform(size_t(c) * a.h * a.w, uint32_t(c + a.oh * 7));
        std::vector<float> ref(size_t(c) * a.oh * a.ow);
        for (int64_t oy = 0; oy < a.oh; ++oy)
            for (int64_t ox = 0; ox < a.ow; ++ox) {
                int64_t hs, he, ws, we;
                bin(oy, a.h, a.oh, hs, he);
                bin(ox, a.w, a.ow, ws, we);
                for (int ch = 0; ch < c; ++ch) {
                    float s = 0.0f;
                    for (int64_t iy = hs; iy < he; ++iy)
                        for (int64_t ix = ws; ix < we; ++ix) s += x[size_t((iy * a.w + ix) * c + ch)];
                    ref[size_t((oy * a.ow + ox) * c + ch)] = s / float((he - hs) * (we - ws));
                }
            }
        for (auto& [name, fn] : paths) {
            std::vector<float> out(ref.size() + 1, 77.0f);
            fn(x.data(), out.data(), c, a.h, a.w, a.oh, a.ow, nullptr);
            EXPECT_EQ(out.back(), 77.0f) << name;
            ASSERT_EQ(0, std::memcmp(out.data(), ref.data(), ref.size() * 4)) << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Grids, AdaptiveKernels,
                         ::testing::Values(Adaptive{7, 7, 1, 1}, Adaptive{7, 9, 3, 4},  // overlapping bins
                                           Adaptive{2, 3, 5, 7},                        // grid larger than input
                                           Adaptive{14, 14, 7, 7}, Adaptive{1, 1, 2, 2}));

std::unique_ptr<ILayer> make(const std::string& json) { return make_layer(json, "p1"); }

}  // namespace

TEST(Pool2dLayers, ShapesAndArgumentChecks) {
    // maxpool_fp32 without "ceil_mode" keeps floor extents.
    EXPECT_EQ(make(R"({"op":"maxpool_fp32"})")->output_shape({3, 8, 8}), (Shape3{3, 3, 3}));
    EXPECT_EQ(make(R"({"op":"maxpool_fp32","args":{"ceil_mode":true}})")->output_shape({3, 8, 8}), (Shape3{3, 4, 4}));
    EXPECT_EQ(make(R"({"op":"avgpool2d_fp32","args":{"ceil_mode":true,"pad_h":1,"pad_w":1}})")->output_shape({2, 5, 8}),
              (Shape3{2, 3, 5}));
    EXPECT_EQ(make(R"({"op":"avgpool2d_fp32","args":{"kH":9}})")->output_shape({2, 5, 8}), (Shape3{2, 0, 3}));
    EXPECT_EQ(make(R"({"op":"adaptive_avgpool_fp32","args":{"out_h":7,"out_w":3}})")->output_shape({5, 2, 2}),
              (Shape3{5, 7, 3}));
    const std::pair<const char*, const char*> bad[] = {
        {R"({"op":"avgpool2d_fp32","args":{"pad_h":2}})", "argument 'pad_h' must be at most half of 'kH' (1), got 2"},
        {R"({"op":"avgpool2d_fp32","args":{"kW":4,"pad_w":3}})", "'pad_w' must be at most half of 'kW' (2)"},
        {R"({"op":"avgpool2d_fp32","args":{"stride_w":0}})", "'stride_w' must be at least 1"},
        {R"({"op":"avgpool2d_fp32","args":{"kH":0}})", "'kH' must be at least 1"},
        {R"({"op":"adaptive_avgpool_fp32","args":{"out_w":0}})", "'out_w' must be at least 1"},
        {R"({"op":"maxpool_fp32","args":{"ceil_mode":true,"stride_h":0}})", "'stride_h' must be at least 1"}};
    for (auto& [json, message] : bad) {
        const std::string e = error_of([&] { make(json); });
        EXPECT_NE(e.find("node 'p1'"), std::string::npos) << e;
        EXPECT_NE(e.find(message), std::string::npos) << e;
    }
}

// forward: ceil-mode max pooling through the layer, and the view checks of
// the new layers.
TEST(Pool2dLayers, ForwardChecksAndCeilMaxPool) {
    std::vector<float> x(8 * 8 * 2), y(64 * 2, 0.0f);
    for (size_t i = 0; i < x.size(); ++i) x[i] = float(i);
    TensorView in = view(x, {2, 8, 8});
    auto l = make(R"({"op":"maxpool_fp32","args":{"ceil_mode":true}})");
    Shape3 got;
    ASSERT_EQ(forward_error(*l, &in, 1, out_view(y), &got), "");
    EXPECT_EQ(got, (Shape3{2, 4, 4}));
    // Window (3, 3) covers rows and columns 6..7 only: its maximum is (7, 7).
    EXPECT_EQ(y[15 * 2 + 1], x[63 * 2 + 1]);
    for (const char* json : {R"({"op":"maxpool_fp32","ceil_mode":true})", R"({"op":"avgpool2d_fp32"})",
                             R"({"op":"adaptive_avgpool_fp32"})"}) {
        SCOPED_TRACE(json);
        auto p = make(json);
        EXPECT_NE(forward_error(*p, &in, 0, out_view(y)).find("needs 1 input"), std::string::npos);
        TensorView short_in = in;
        short_in.bytes -= 4;
        EXPECT_NE(forward_error(*p, &short_in, 1, out_view(y)).find("input 0 holds"), std::string::npos);
        EXPECT_NE(forward_error(*p, &in, 1, BufferView{y.data(), 0, 4}).find("output buffer holds"), std::string::npos);
        EXPECT_EQ(forward_error(*p, &in, 1, out_view(y)), "");
    }
}
