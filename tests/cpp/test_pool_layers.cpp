// Pooling, upsampling and class-token layers built through the factory from
// node JSON and run on views: shapes, hand-computed results, rejections.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine/backend.h"
#include "layers/image/maxpool_int8.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"

using namespace vantrel;

namespace {

std::unique_ptr<ILayer> make(const std::string& json) {
    JsonValue node = parse_json(json);
    return create_layer("p1", op_code_from_name(at(node, "op").text), node, false);
}
template <class T>
TensorView view(std::vector<T>& v, Shape3 s) {
    return TensorView{v.data(), 0, v.size() * sizeof(T), s.c, s.h, s.w};
}
template <class T>
BufferView out_view(std::vector<T>& v) {
    return BufferView{v.data(), 0, v.size() * sizeof(T)};
}
// Runs forward; returns the runtime_error text ("" when none) and the shape.
std::string run(ILayer& l, TensorView* in, int n, BufferView out, Shape3* shape = nullptr) {
    ExecContext ctx;
    try {
        Shape3 s = l.forward(in, n, &out, &ctx);
        if (shape) *shape = s;
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

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

TEST(PoolLayers, BilinearShapesAndCopies) {
    auto l = make(R"({"op":"upsample_bilinear_fp32"})");  // scales 2
    std::vector<float> x = {4.0f, -1.0f}, y(8);
    TensorView in = view(x, {2, 1, 1});
    Shape3 got;
    ASSERT_EQ(run(*l, &in, 1, out_view(y), &got), "");
    EXPECT_EQ(got, (Shape3{2, 2, 2}));
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(y[size_t(2 * p)], 4.0f);
        EXPECT_EQ(y[size_t(2 * p + 1)], -1.0f);
    }
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
    ::testing::Values(Reject{R"({"op":"maxpool_fp32","kH":0})", "'kH' must be at least 1"},
                      Reject{R"({"op":"maxpool_int8","kW":-2})", "'kW' must be at least 1"},
                      Reject{R"({"op":"maxpool_fp32","stride_h":0})", "'stride_h' must be at least 1"},
                      Reject{R"({"op":"maxpool_int8","stride_w":0})", "'stride_w' must be at least 1"},
                      Reject{R"({"op":"maxpool_fp32","pad_h":-1})", "'pad_h' must be at least 0"},
                      Reject{R"({"op":"maxpool_int8","pad_w":-1})", "'pad_w' must be at least 0"},
                      Reject{R"({"op":"avgpool_int8","out_scale":0})", "'out_scale' must be finite and positive"},
                      Reject{R"({"op":"avgpool_int8","out_scale":-1})", "'out_scale' must be finite and positive"},
                      Reject{R"({"op":"avgpool_int8","out_scale":1e39})", "'out_scale' must be finite and positive"},
                      Reject{R"({"op":"avgpool_int8","in_scale":-1e39})", "'in_scale' must be finite"},
                      Reject{R"({"op":"upsample_bilinear_fp32","scale_h":0})", "'scale_h' must be finite and positive"},
                      Reject{R"({"op":"upsample_bilinear_fp32","scale_w":-2})", "'scale_w' must be finite and positive"},
                      Reject{R"({"op":"upsample_bilinear_fp32","scale_w":1e39})", "'scale_w' must be finite and positive"}));

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
