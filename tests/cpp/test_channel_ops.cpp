// Image channel operations: the per-channel scale kernel on every path
// against x * s (one rounding per element, so bit for bit), and the
// channel_mul_fp32, concat_fp32 and channel_shuffle_fp32 layers built
// through the factory against hand-written results and the inputs they must
// refuse rather than read or write out of bounds.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "engine/cpu_backend/cpu_backend.h"
#include "kernel_test_paths.h"
#include "kernels/elementwise/channel_mul_f32.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

TensorView tv(std::vector<float>& v, int c, int h, int w) { return {v.data(), 0, v.size() * 4, c, h, w}; }

std::unique_ptr<ILayer> op(const std::string& name, const std::string& args = "") {
    return make_layer("{\"op\":\"" + name + "\"" + args + "}", "n1");
}

// forward's error text ("" when none); the output gets a guard of 3 floats.
std::string run(ILayer& l, std::vector<TensorView> in, std::vector<float>& y, size_t n, Shape3* got = nullptr) {
    y.assign(n + 3, -7.0f);
    return forward_error(l, in.data(), int(in.size()), BufferView{y.data(), 0, n * 4}, got);
}

}  // namespace

TEST(ChannelMulF32, EveryPathMatchesTheProductBitForBit) {
    using Fn = void (*)(const float*, const float*, float*, int32_t, int32_t, void*);
    const int rows = 5;
    for (int c : {1, 3, 7, 8, 9, 15, 16, 17, 33}) {
        std::vector<float> x = randn(size_t(rows * c), 11 + c), s = randn(size_t(c), 40 + c);
        for (auto& [path, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(Fn, k_channel_mul_f32))) {
            std::vector<float> y(x.size() + 1, -3.0f);
            fn(x.data(), s.data(), y.data(), rows, c, nullptr);
            for (int r = 0; r < rows; ++r)
                for (int j = 0; j < c; ++j)
                    ASSERT_TRUE(same_float(y[size_t(r * c + j)], x[size_t(r * c + j)] * s[size_t(j)]))
                        << path << " c=" << c << " row " << r << " ch " << j;
            EXPECT_EQ(y.back(), -3.0f) << path << " wrote past the rows";
        }
    }
}

TEST(ChannelOpLayers, ComputeOnImages) {
    const int h = 3, w = 5, c = 19;
    std::vector<float> x = randn(size_t(h * w * c), 1), s = randn(size_t(c), 2), y;
    Shape3 got;
    auto mul = op("channel_mul_fp32");
    ASSERT_EQ(run(*mul, {tv(x, c, h, w), tv(s, c, 1, 1)}, y, x.size(), &got), "");
    EXPECT_EQ(got, (Shape3{c, h, w}));
    for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(y[i], x[i] * s[i % c]) << i;
    EXPECT_EQ(y[x.size()], -7.0f);

    // Three inputs of 3, 5 and 1 channels on a 2x3 image.
    std::vector<float> a = randn(18, 3), b = randn(30, 4), d = randn(6, 5);
    auto cat = op("concat_fp32");
    Shape3 shapes[3] = {{3, 2, 3}, {5, 2, 3}, {1, 2, 3}};
    EXPECT_EQ(cat->output_shape_multi(shapes, 3), (Shape3{9, 2, 3}));
    ASSERT_EQ(run(*cat, {tv(a, 3, 2, 3), tv(b, 5, 2, 3), tv(d, 1, 2, 3)}, y, 54, &got), "");
    EXPECT_EQ(got, (Shape3{9, 2, 3}));
    for (int p = 0; p < 6; ++p)
        for (int ch = 0; ch < 9; ++ch)
            ASSERT_EQ(y[size_t(p * 9 + ch)], ch < 3 ? a[size_t(p * 3 + ch)]
                                             : ch < 8 ? b[size_t(p * 5 + ch - 3)] : d[size_t(p)])
                << p << " " << ch;
    EXPECT_EQ(y[54], -7.0f);

    // ShuffleNet's shuffle of 6 channels in 2 groups: [0 1 2 | 3 4 5] -> 0 3 1 4 2 5.
    std::vector<float> z = {0, 1, 2, 3, 4, 5, 10, 11, 12, 13, 14, 15};
    auto shuf = op("channel_shuffle_fp32", ",\"groups\":2");
    ASSERT_EQ(run(*shuf, {tv(z, 6, 1, 2)}, y, 12, &got), "");
    EXPECT_EQ(got, (Shape3{6, 1, 2}));
    y.resize(13);
    EXPECT_EQ(y, (std::vector<float>{0, 3, 1, 4, 2, 5, 10, 13, 11, 14, 12, 15, -7}));
    // groups 1 and groups C both copy.
    for (const char* g : {",\"groups\":1", ",\"groups\":6"}) {
        auto same = op("channel_shuffle_fp32", g);
        ASSERT_EQ(run(*same, {tv(z, 6, 2, 1)}, y, 12), "");
        y.resize(12);
        EXPECT_EQ(y, z) << g;
    }
}

TEST(ChannelOpLayers, Refusals) {
    std::vector<float> x = randn(4 * 3 * 2, 1), s = randn(4, 2), y, big = randn(64, 3);
    struct Case {
        const char* op;
        const char* args;
        std::vector<TensorView> in;
        size_t out;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"channel_mul_fp32", "", {tv(x, 4, 3, 2), tv(s, 3, 1, 1)}, 24, "input 1 has 3 elements"},
        {"channel_mul_fp32", "", {tv(x, 4, 3, 2), tv(big, 4, 2, 1)}, 24, "input 1 has 8 elements"},
        {"channel_mul_fp32", "", {tv(x, 4, 3, 2)}, 24, "needs 2 inputs"},
        {"channel_mul_fp32", "", {tv(x, 4, 3, 2), TensorView{s.data(), 0, 12, 4, 1, 1}}, 24, "input 1 holds 12 bytes"},
        {"channel_mul_fp32", "", {tv(x, 4, 3, 2), tv(s, 4, 1, 1)}, 23, "output buffer holds 92 bytes"},
        {"concat_fp32", "", {tv(x, 4, 3, 2), tv(big, 2, 2, 2)}, 36, "input 1 is 2x2 (h x w), input 0 is 3x2"},
        {"concat_fp32", "", {tv(x, 4, 3, 2), tv(big, 2, 3, 1)}, 36, "input 1 is 3x1"},
        {"concat_fp32", "", {tv(x, 4, 3, 2)}, 24, "needs 2 inputs"},
        {"concat_fp32", "", {tv(x, 4, 3, 2), tv(x, 5, 3, 2)}, 54, "input 1 holds 96 bytes"},
        {"concat_fp32", "", {tv(x, 4, 3, 2), tv(x, 4, 3, 2)}, 47, "output buffer holds 188 bytes"},
        {"channel_shuffle_fp32", ",\"groups\":3", {tv(x, 4, 3, 2)}, 24, "4 channels, not a multiple of groups = 3"},
        {"channel_shuffle_fp32", ",\"groups\":2", {tv(x, 4, 4, 2)}, 32, "input 0 holds 96 bytes"},
    };
    for (const Case& c : cases) {
        auto l = op(c.op, c.args);
        const std::string e = run(*l, c.in, y, c.out);
        EXPECT_NE(e.find(std::string(c.op) + " node 'n1'"), std::string::npos) << e;
        EXPECT_NE(e.find(c.message), std::string::npos) << c.op << ": " << e;
        EXPECT_EQ(y[c.out], -7.0f) << c.op << " wrote past the output";
    }
    EXPECT_NE(error_of([] { op("channel_shuffle_fp32", ",\"groups\":0"); }).find("'groups' must be at least 1"),
              std::string::npos);
}

// nchw_to_nhwc_fp32 against the index formula, on sizes around the tile
// edge, with the output guard untouched and a short input refused.
TEST(NchwToNhwcLayer, LaysOutPlanesAsChannelsLast) {
    auto layout = op("nchw_to_nhwc_fp32");
    for (auto [C, H, W] : {std::tuple{3, 5, 7}, {1, 1, 1}, {33, 2, 17}, {64, 9, 8}}) {
        std::vector<float> x = randn(size_t(C * H * W), C + H), y;
        Shape3 got;
        ASSERT_EQ(run(*layout, {tv(x, W, C, H)}, y, x.size(), &got), "");
        EXPECT_EQ(got, (Shape3{C, H, W}));
        EXPECT_EQ(layout->output_shape(Shape3{W, C, H}), (Shape3{C, H, W}));
        for (int ch = 0; ch < C; ++ch)
            for (int p = 0; p < H * W; ++p)
                ASSERT_EQ(y[size_t(p * C + ch)], x[size_t(ch * H * W + p)]) << C << " " << ch << " " << p;
        EXPECT_EQ(y[x.size()], -7.0f);
    }
    std::vector<float> x(10), y;
    EXPECT_NE(run(*layout, {tv(x, 4, 3, 1)}, y, 12).find("input 0 holds 40 bytes"), std::string::npos);
}
