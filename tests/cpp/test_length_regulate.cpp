// Length regulation, nearest upsampling and reflection padding through the
// factory: row patterns against hand-computed expansions, the duration
// rounding table, the speed scale, the data-dependent shape query, and the
// errors as a table.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "engine/duration_scaled.h"
#include "kernels/pool/upsample_nearest1d_f32.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

// Rows r of C = 2 channels hold {r, 10 r + 1}.
std::vector<float> rows_of(int n) {
    std::vector<float> x;
    for (int r = 0; r < n; ++r) x.insert(x.end(), {float(r), 10.0f * r + 1});
    return x;
}

// The expected rows for a list of source-row indices.
std::vector<float> pick(const std::vector<int>& idx) {
    std::vector<float> y;
    for (int r : idx) y.insert(y.end(), {float(r), 10.0f * r + 1});
    return y;
}

struct LrRun {
    std::string err;
    Shape3 shape, data_shape;
    std::vector<float> out;
};

LrRun run_lr(ILayer& l, int n, const std::vector<float>& dur, int inputs = 2, int dur_h = -1) {
    auto x = rows_of(n);
    auto d = dur;
    TensorView v[2] = {{x.data(), 0, x.size() * 4, 2, n, 1},
                       {d.data(), 0, d.size() * 4, 1, dur_h < 0 ? int(d.size()) : dur_h, 1}};
    Shape3 shapes[2] = {v[0].shape(), v[1].shape()};
    const void* data[2] = {x.data(), d.data()};
    LrRun r;
    r.data_shape = l.output_shape_from_data(data, shapes, inputs);
    r.out.assign(size_t(std::max<int64_t>(element_count(r.data_shape), 1)), -1.0f);
    BufferView o{r.out.data(), 0, r.out.size() * 4};
    ExecContext ctx;
    r.err = error_of([&] { r.shape = l.forward(v, inputs, &o, &ctx); });
    return r;
}

struct LrCase {
    float scale;
    std::vector<float> dur;
    std::vector<int> rows;
};

TEST(LengthRegulate, RepeatsRowsByRoundedScaledDurations) {
    const std::vector<LrCase> cases = {
        // 0, 0.4 and -3 give one copy; halves round away from zero.
        {1.0f, {0, 0.4f, -3, 0.5f, 1.5f, 2.5f}, {0, 1, 2, 3, 4, 4, 5, 5, 5}},
        {0.5f, {3, 1, 4.9f}, {0, 0, 1, 2, 2}},  // speed 2: round(1.5) = 2, round(2.45) = 2
        {2.0f, {1.25f, 0.2f}, {0, 0, 0, 1}},    // speed 0.5: round(2.5) = 3
        {1.0f, {std::nanf(""), 2}, {0, 1, 1}},
        {1.0f, {}, {}},                         // N = 0: {C, 0, 1}
    };
    for (const auto& c : cases) {
        auto layer = make_layer("{\"op\":\"length_regulate_fp32\"}");
        dynamic_cast<DurationScaled&>(*layer).set_duration_scale(c.scale);
        LrRun r = run_lr(*layer, int(c.dur.size()), c.dur);
        ASSERT_EQ(r.err, "");
        const Shape3 want{2, int(c.rows.size()), 1};
        EXPECT_EQ(r.shape, want);
        EXPECT_EQ(r.data_shape, want);
        r.out.resize(c.rows.size() * 2);
        EXPECT_EQ(r.out, pick(c.rows)) << c.scale;
    }
}

TEST(ResamplingLayers, NearestUpsampleAndReflectionPad) {
    auto up = make_layer("{\"op\":\"upsample_nearest1d_fp32\",\"scale_factor\":3}");
    auto x = rows_of(2);
    std::vector<float> out(12);
    Shape3 r;
    ASSERT_EQ(run_layer(*up, x, {2, 2, 1}, out, &r), "");
    EXPECT_EQ(r, (Shape3{2, 6, 1}));
    EXPECT_EQ(out, pick({0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(up->output_shape({2, 5, 1}), (Shape3{2, 15, 1}));
    std::vector<float> y(4, -1.0f);
    k_upsample_nearest1d_f32(x.data(), y.data(), 2, 2, 0, nullptr);  // scale 0 writes nothing
    EXPECT_EQ(y, std::vector<float>(4, -1.0f));

    auto pad = make_layer("{\"op\":\"reflection_pad1d_fp32\"}");
    auto x3 = rows_of(3);
    std::vector<float> o3(8);
    ASSERT_EQ(run_layer(*pad, x3, {2, 3, 1}, o3, &r), "");
    EXPECT_EQ(r, (Shape3{2, 4, 1}));
    EXPECT_EQ(o3, pick({1, 0, 1, 2}));
    EXPECT_EQ(pad->output_shape({2, 3, 4}), (Shape3{2, 13, 1}));
}

TEST(ResamplingLayers, ErrorsNameNodeAndProblem) {
    struct Case {
        const char* what;
        std::function<std::string()> run;
        const char* expect;
    };
    auto lr = [](float scale, int n, std::vector<float> d, int inputs, int dur_h = -1) {
        auto layer = make_layer("{\"op\":\"length_regulate_fp32\"}");
        dynamic_cast<DurationScaled&>(*layer).set_duration_scale(scale);
        LrRun r = run_lr(*layer, n, d, inputs, dur_h);
        return r.err;
    };
    auto one = [](const char* json, int n) {
        auto layer = make_layer(json);
        auto x = rows_of(n);
        std::vector<float> out(64);
        return run_layer(*layer, x, {2, n, 1}, out);
    };
    const std::vector<Case> cases = {
        {"no durations", [&] { return lr(1, 3, {1, 1, 1}, 1); }, "durations (2 inputs), got 1"},
        {"too few durations", [&] { return lr(1, 3, {1, 1}, 2); }, "hold 2 values for 3 rows"},
        {"too many durations", [&] { return lr(1, 2, {1, 1, 1}, 2); }, "hold 3 values for 2 rows"},
        // A tiny speed saturates every count at INT32_MAX; the 64-bit sum
        // exceeds the int32 range instead of wrapping.
        {"huge scale", [&] { return lr(1e30f, 2, {1, 1}, 2); }, "expanded length 4294967294 exceeds"},
        {"durations shape beyond the rows", [&] { return lr(1, 4, {1, 1, 1, 1}, 2, 8); }, "hold 8 values for 4 rows"},
        {"pad one row", [&] { return one("{\"op\":\"reflection_pad1d_fp32\"}", 1); }, "1 rows is too short"},
    };
    for (const auto& c : cases) {
        std::string err = error_of([&] {
            std::string e = c.run();
            if (!e.empty()) throw std::runtime_error(e);
        });
        EXPECT_NE(err.find("node 'n1'"), std::string::npos) << c.what << ": " << err;
        EXPECT_NE(err.find(c.expect), std::string::npos) << c.what << ": " << err;
    }
    // The shape query of the huge case reports no rows, so the executor
    // sizes nothing before forward refuses.
    auto layer = make_layer("{\"op\":\"length_regulate_fp32\"}");
    dynamic_cast<DurationScaled&>(*layer).set_duration_scale(1e30f);
    EXPECT_EQ(run_lr(*layer, 2, {1, 1}).data_shape, (Shape3{2, 0, 1}));
}

}  // namespace
