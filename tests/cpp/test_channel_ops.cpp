// Channel operations of time-major signals: the kernels against scalar
// references written here (row sums in their fixed lane order, every vector
// path bit for bit), and the layers built through the factory, including
// every input they must refuse rather than read out of bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/cpu_backend/cpu_backend.h"
#include "kernel_test_paths.h"
#include "kernels/elementwise/concat1d_f32.h"
#include "kernels/elementwise/mul_f32.h"
#include "kernels/elementwise/row_sum_f32.h"
#include "kernels/elementwise/slice_channels_f32.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"
#include "tests/cpp/conv2d_f32_reference.h"

using namespace vantrel;
using namespace vantrel_test;
using conv_ref::randoms;

namespace {

std::unique_ptr<ILayer> make(const std::string& op, const std::string& args = "") {
    JsonValue node = parse_json("{\"op\":\"" + op + "\"" + args + "}");
    return create_layer("n1", op_code_from_name(op), node, false);
}
TensorView view(std::vector<float>& v, int c, int h, int w) { return {v.data(), 0, v.size() * 4, c, h, w}; }
Shape3 run(ILayer& l, std::vector<TensorView> in, std::vector<float>& y) {
    BufferView out{y.data(), 0, y.size() * 4};
    ExecContext ctx;
    return l.forward(in.data(), int(in.size()), &out, &ctx);
}
void expect_rejected(const std::function<void()>& fn, const std::string& what) {
    try {
        fn();
        ADD_FAILURE() << what << ": accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("node 'n1'"), std::string::npos) << what << ": " << e.what();
    }
}

// ---- kernels -------------------------------------------------------------

TEST(RowSumF32, LaneOrderOnEveryPath) {
    using Fn = void (*)(const float*, float*, int32_t, int32_t);
#if defined(__aarch64__)
    auto paths = runnable_paths<Fn>(&k_row_sum_f32, nullptr, nullptr, &k_row_sum_f32_neon);
#else
    auto paths = runnable_paths<Fn>(&k_row_sum_f32, nullptr, nullptr, nullptr);
#endif
    for (int c : {0, 1, 3, 4, 5, 8, 9, 33}) {
        const int rows = 6;
        // Mixed magnitudes make every summation order give different bits.
        std::vector<float> x = randoms(size_t(rows * c), 40 + c);
        for (size_t i = 0; i < x.size(); i += 3) x[i] *= 1e4f;
        std::vector<float> want(rows);
        for (int r = 0; r < rows; ++r) {
            float l[4] = {0, 0, 0, 0};
            for (int i = 0; i < c / 4 * 4; ++i) l[i % 4] += x[size_t(r * c + i)];
            float s = (l[0] + l[1]) + (l[2] + l[3]);
            for (int i = c / 4 * 4; i < c; ++i) s += x[size_t(r * c + i)];
            want[size_t(r)] = s;
        }
        for (auto& [name, fn] : paths) {
            std::vector<float> y(rows + 1, -3.0f);
            fn(x.data(), y.data(), rows, c);
            for (int r = 0; r < rows; ++r) EXPECT_TRUE(same_float(y[size_t(r)], want[size_t(r)])) << name << " C=" << c;
            EXPECT_EQ(y[rows], -3.0f) << name;
        }
    }
}

TEST(MulF32, EveryPathEveryLength) {
    using Fn = void (*)(const float*, const float*, float*, int32_t, void*);
    for (int n : {0, 1, 3, 4, 7, 8, 15, 16, 17, 31, 33, 4099}) {
        std::vector<float> a = randoms(size_t(n), 1), b = randoms(size_t(n), 2);
        for (auto& [name, fn] : runnable_paths(VANTREL_KERNEL_VARIANTS(Fn, k_mul_f32))) {
            std::vector<float> y(size_t(n) + 1, -3.0f);
            fn(a.data(), b.data(), y.data(), n, nullptr);
            for (int i = 0; i < n; ++i) ASSERT_TRUE(same_float(y[size_t(i)], a[size_t(i)] * b[size_t(i)])) << name << " " << i;
            EXPECT_EQ(y[size_t(n)], -3.0f) << name << " n=" << n;
        }
    }
}

TEST(ConcatSliceF32, RowsAsWritten) {
    const int n = 5, c1 = 3, c2 = 2;
    std::vector<float> a = randoms(n * c1, 3), b = randoms(n * c2, 4), y(n * (c1 + c2) + 1, -3.0f);
    for (bool broadcast : {false, true}) {
        k_concat1d_f32(a.data(), b.data(), y.data(), n, c1, c2, broadcast, nullptr);
        for (int t = 0; t < n; ++t)
            for (int i = 0; i < c1 + c2; ++i)
                EXPECT_EQ(y[size_t(t * (c1 + c2) + i)],
                          i < c1 ? a[size_t(t * c1 + i)] : b[size_t((broadcast ? 0 : t) * c2 + i - c1)]);
        EXPECT_EQ(y.back(), -3.0f);
    }
    std::vector<float> s(n * 2 + 1, -3.0f);
    k_slice_channels_f32(y.data(), s.data(), n, c1 + c2, 2, 2, nullptr);
    for (int t = 0; t < n; ++t)
        for (int i = 0; i < 2; ++i) EXPECT_EQ(s[size_t(t * 2 + i)], y[size_t(t * 5 + 2 + i)]);
    EXPECT_EQ(s.back(), -3.0f);
    // N = 0 writes nothing.
    k_concat1d_f32(a.data(), b.data(), s.data(), 0, c1, c2, false, nullptr);
    k_slice_channels_f32(y.data(), s.data(), 0, 5, 0, 5, nullptr);
    EXPECT_EQ(s.back(), -3.0f);
}

// ---- layers --------------------------------------------------------------

TEST(Concat1dFp32Layer, RepeatsOneRowAndCopiesWithoutSecondInput) {
    std::vector<float> a = randoms(4 * 3, 5), b = randoms(4 * 2, 6), style = randoms(2, 7), y(4 * 5);
    auto l = make("concat1d_fp32", ",\"C2\":2");
    EXPECT_EQ(l->output_shape({3, 4, 1}), (Shape3{5, 4, 1}));
    for (bool one_row : {false, true}) {
        TensorView bv = one_row ? view(style, 2, 1, 1) : view(b, 2, 4, 1);
        EXPECT_EQ(run(*l, {view(a, 3, 4, 1), bv}, y), (Shape3{5, 4, 1}));
        for (int t = 0; t < 4; ++t)
            for (int i = 0; i < 5; ++i)
                EXPECT_EQ(y[size_t(t * 5 + i)], i < 3 ? a[size_t(t * 3 + i)] : one_row ? style[size_t(i - 3)] : b[size_t(t * 2 + i - 3)]);
    }
    auto copy = make("concat1d_fp32");
    std::vector<float> yc(12);
    EXPECT_EQ(run(*copy, {view(a, 3, 4, 1)}, yc), (Shape3{3, 4, 1}));
    EXPECT_EQ(yc, a);
}

TEST(Concat1dFp32Layer, Rejections) {
    std::vector<float> a = randoms(4 * 3, 5), b = randoms(3 * 2, 6), y(4 * 5);
    auto l = make("concat1d_fp32", ",\"C2\":2");
    expect_rejected([&] { run(*l, {view(a, 3, 4, 1)}, y); }, "one input, C2 > 0");
    expect_rejected([&] { run(*l, {view(a, 3, 4, 1), view(b, 3, 2, 1)}, y); }, "b channels != C2");
    expect_rejected([&] { run(*l, {view(a, 3, 4, 1), view(b, 2, 3, 1)}, y); }, "rows disagree");
    expect_rejected([&] { run(*l, {view(a, 3, 4, 1), view(b, 2, 0, 1)}, y); }, "no row to repeat");
    TensorView short_b{b.data(), 0, 5 * 4, 2, 3, 1};
    std::vector<float> a3 = randoms(3 * 3, 8);
    expect_rejected([&] { run(*l, {view(a3, 3, 3, 1), short_b}, y); }, "b view too small");
    std::vector<float> small(19);
    expect_rejected([&] { run(*l, {view(a, 3, 4, 1), view(b, 2, 1, 1)}, small); }, "output too small");
    expect_rejected([&] { make("concat1d_fp32", ",\"C2\":-1"); }, "negative C2");
}

TEST(SliceChannelsFp32Layer, RangesAndRejections) {
    std::vector<float> x = randoms(3 * 2 * 6, 9), y(36);
    auto all = make("slice_channels_fp32", ",\"ch_start\":0,\"ch_end\":6");
    EXPECT_EQ(run(*all, {view(x, 6, 3, 2)}, y), (Shape3{6, 6, 1}));  // rows L*W
    EXPECT_EQ(y, x);
    auto mid = make("slice_channels_fp32", ",\"ch_start\":2,\"ch_end\":5");
    EXPECT_EQ(mid->output_shape({6, 3, 2}), (Shape3{3, 3, 2}));
    EXPECT_EQ(run(*mid, {view(x, 6, 3, 2)}, y), (Shape3{3, 6, 1}));
    for (int t = 0; t < 6; ++t)
        for (int i = 0; i < 3; ++i) EXPECT_EQ(y[size_t(t * 3 + i)], x[size_t(t * 6 + 2 + i)]);
    expect_rejected([&] { run(*mid, {view(x, 4, 9, 1)}, y); }, "ch_end past the channels");
    expect_rejected([&] { make("slice_channels_fp32", ",\"ch_start\":-1,\"ch_end\":2"); }, "negative start");
    expect_rejected([&] { make("slice_channels_fp32", ",\"ch_start\":3,\"ch_end\":2"); }, "end before start");
    std::vector<float> small(17);
    expect_rejected([&] { run(*mid, {view(x, 6, 3, 2)}, small); }, "output too small");
}

TEST(SumAndMulLayers, ShapesValuesAndRejections) {
    std::vector<float> x = randoms(5 * 2 * 4, 10), y(10);
    auto sum = make("sum_channels_fp32");
    EXPECT_EQ(sum->output_shape({4, 5, 2}), (Shape3{1, 5, 2}));
    EXPECT_EQ(run(*sum, {view(x, 4, 5, 2)}, y), (Shape3{1, 10, 1}));
    for (int t = 0; t < 10; ++t) {
        const float* r = &x[size_t(t * 4)];
        EXPECT_TRUE(same_float(y[size_t(t)], (r[0] + r[1]) + (r[2] + r[3])));
    }
    std::vector<float> one = randoms(7, 11), y7(7);
    run(*sum, {view(one, 1, 7, 1)}, y7);
    EXPECT_EQ(y7, one);  // C = 1 copies the channel

    auto mul = make("elemwise_mul_fp32");
    std::vector<float> a = randoms(12, 12), b = randoms(12, 13), p(12);
    Shape3 in[2] = {{3, 4, 1}, {12, 1, 1}};
    EXPECT_EQ(mul->output_shape_multi(in, 2), (Shape3{3, 4, 1}));
    EXPECT_EQ(mul->output_shape_multi(in, 0), (Shape3{0, 0, 0}));
    EXPECT_EQ(run(*mul, {view(a, 3, 4, 1), view(b, 12, 1, 1)}, p), (Shape3{3, 4, 1}));
    for (int i = 0; i < 12; ++i) EXPECT_TRUE(same_float(p[size_t(i)], a[size_t(i)] * b[size_t(i)]));
    expect_rejected([&] { run(*mul, {view(a, 3, 4, 1)}, p); }, "one input");
    expect_rejected([&] { run(*mul, {view(a, 3, 4, 1), view(b, 11, 1, 1)}, p); }, "counts differ");
    TensorView short_b{b.data(), 0, 11 * 4, 12, 1, 1};
    expect_rejected([&] { run(*mul, {view(a, 3, 4, 1), short_b}, p); }, "b view too small");
}

}  // namespace
