// Ceil-mode max pooling, windowed and adaptive average pooling: every vector
// path bit for bit against the portable kernel (tests/python compares the
// results with torch.nn.functional), and the layers' argument checks and
// shapes through the factory.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
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

// Runs `call(fn, out)` for every path on an output of n floats plus an
// overrun guard; each path must match the portable one bit for bit.
// (Python checks the portable results against torch.nn.functional.)
template <class Fn, class Call>
void expect_paths_match(const std::vector<std::pair<std::string, Fn>>& paths, size_t n, Call call,
                        const std::vector<float>* also = nullptr) {
    std::vector<float> portable;
    for (auto& [name, fn] : paths) {
        std::vector<float> out(n + 1, 77.0f);
        call(fn, out.data());
        EXPECT_EQ(out.back(), 77.0f) << name;
        out.pop_back();
        if (portable.empty()) portable = out;
        ASSERT_EQ(0, std::memcmp(out.data(), portable.data(), n * 4)) << name;
        if (also) {
            ASSERT_EQ(0, std::memcmp(out.data(), also->data(), n * 4)) << name;
        }
    }
}

struct Geom {
    int h, w, kh, kw, sh, sw, ph, pw;
    bool ceil;
};
class Pool2dKernels : public ::testing::TestWithParam<Geom> {};

TEST_P(Pool2dKernels, EveryPathMatchesPortable) {
    const Geom g = GetParam();
    const int32_t oh = int32_t(pool_out_extent(g.h, g.kh, g.sh, g.ph, g.ceil));
    const int32_t ow = int32_t(pool_out_extent(g.w, g.kw, g.sw, g.pw, g.ceil));
    auto avg = runnable_paths<KAvgPool2dF32>(VANTREL_KERNEL_VARIANTS(KAvgPool2dF32, k_avgpool2d_f32));
    auto mx = runnable_paths<KMaxPoolCeilF32>(VANTREL_KERNEL_VARIANTS(KMaxPoolCeilF32, k_maxpool_ceil_f32));
    for (int c : kChannels) {
        SCOPED_TRACE("c=" + std::to_string(c));
        const std::vector<float> x = uniform(size_t(c) * g.h * g.w, uint32_t(c * 31 + g.h), -3.0f, 3.0f);
        const size_t n = size_t(c) * oh * ow;
        for (bool include : {false, true})
            expect_paths_match(avg, n, [&](KAvgPool2dF32 fn, float* out) {
                fn(x.data(), out, c, g.h, g.w, oh, ow, g.kh, g.kw, g.sh, g.sw, g.ph, g.pw, include, nullptr);
            });
        // On floor extents it is the existing max-pool kernel.
        std::vector<float> floor_mode(n);
        if (!g.ceil) k_maxpool_f32(x.data(), floor_mode.data(), c, g.h, g.w, g.kh, g.kw, g.sh, g.sw, g.ph, g.pw, nullptr);
        expect_paths_match(
            mx, n,
            [&](KMaxPoolCeilF32 fn, float* out) {
                fn(x.data(), out, c, g.h, g.w, oh, ow, g.kh, g.kw, g.sh, g.sw, g.ph, g.pw, nullptr);
            },
            g.ceil ? nullptr : &floor_mode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, Pool2dKernels,
    ::testing::Values(Geom{8, 8, 3, 3, 2, 2, 0, 0, true},  // ceil adds a clipped last window
                      Geom{8, 8, 3, 3, 2, 2, 1, 1, true},  // ... running past the padded input
                      Geom{5, 5, 2, 2, 2, 2, 1, 1, true},  // window starting in the right pad dropped
                      Geom{6, 9, 3, 2, 3, 2, 1, 1, true},
                      Geom{2, 3, 3, 3, 2, 2, 0, 0, true},  // window larger than the input: one output
                      Geom{7, 5, 3, 3, 1, 1, 1, 1, false}, Geom{13, 11, 5, 3, 3, 2, 2, 1, true}));

TEST(AdaptiveKernels, EveryPathMatchesPortable) {
    auto paths = runnable_paths<KAdaptiveAvgPoolF32>(VANTREL_KERNEL_VARIANTS(KAdaptiveAvgPoolF32, k_adaptive_avgpool_f32));
    // Overlapping bins, and a grid larger than the input.
    for (const auto& geom : {std::array<int, 4>{7, 9, 3, 4}, {2, 3, 5, 7}, {14, 14, 7, 7}})
        for (int c : kChannels) {
            const int h = geom[0], w = geom[1], oh = geom[2], ow = geom[3];
            SCOPED_TRACE("c=" + std::to_string(c) + " oh=" + std::to_string(oh));
            const std::vector<float> x = uniform(size_t(c) * h * w, uint32_t(c + oh * 7));
            expect_paths_match(paths, size_t(c) * oh * ow, [&](KAdaptiveAvgPoolF32 fn, float* out) {
                fn(x.data(), out, c, h, w, oh, ow, nullptr);
            });
        }
    // Bins [floor(i*H/out), ceil((i+1)*H/out)) of 3 over 2 rows: {0}, {0, 1}, {1}.
    const float x[2] = {1.0f, 4.0f};
    float y[3];
    for (auto& [name, fn] : paths) {
        fn(x, y, 1, 2, 1, 3, 1, nullptr);
        EXPECT_EQ(std::vector<float>(y, y + 3), (std::vector<float>{1.0f, 2.5f, 4.0f})) << name;
    }
}

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
    for (const auto& [json_text, message] : bad) {
        const char* json = json_text;
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
