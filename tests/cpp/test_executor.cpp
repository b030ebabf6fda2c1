#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/executor.h"
#include "loader/packed_weight_sharing.h"

using namespace vantrel;
using Names = std::vector<std::string>;

namespace {

// Element-wise sum of all inputs; counts its calls.
class SumLayer final : public ILayer {
public:
    explicit SumLayer(int dt = kDtypeFp32) : dt_(dt) {}
    int calls = 0;
    int dtype() const override { return dt_; }
    Shape3 output_shape(Shape3 in) const override { return in; }
    Shape3 forward(const TensorView* in, int n, const BufferView* out, ExecContext*) override {
        ++calls;
        Shape3 s = in[0].shape();
        float* o = static_cast<float*>(out->data);
        for (int64_t i = 0; i < element_count(s); ++i) {
            o[i] = 0;
            for (int j = 0; j < n; ++j) o[i] += static_cast<const float*>(in[j].data)[i];
        }
        return s;
    }

private:
    int dt_;
};

struct Graph {
    ArchGraph g;
    GraphExecutor ex;
    Graph(std::vector<int> shape, std::string dtype = "float32") {
        g.inputs.push_back(InputSpec{"x", shape, 1.0f, 0, dtype});
    }
    SumLayer* add(const std::string& name, Names in, Names out, int dt = kDtypeFp32) {
        g.nodes.push_back(ArchNode{name, OP_ADD_FP32, in, out, false, ""});
        auto* l = new SumLayer(dt);
        l->name = name;
        g.layers.emplace_back(l);
        return l;
    }
    OutputMap run(const std::vector<float>& x, std::vector<int> dims) {
        if (!ex_ready) ex.prepare(g, &cpu_allocator()), ex_ready = true;
        InputMap in;
        in["x"] = InputTensor{x.data(), dims, "float32", {}};
        return ex.run(in);
    }
    bool ex_ready = false;
};

std::string run_error(Graph& t, std::vector<int> dims, std::vector<float> x = std::vector<float>(4, 1.0f)) {
    try {
        t.run(x, dims);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no error>";
}

}  // namespace

// The last case's 2.4 MB in and out are copied by the team in chunks.
TEST(Executor, OutputDimsFollowTheTensorShape) {
    struct Case { std::vector<int> dims; std::vector<int> out; };
    for (const Case& c : std::vector<Case>{{{10}, {10}}, {{5, 64}, {5, 64}}, {{4, 5, 3}, {4, 5, 3}}, {{1, 1, 7}, {7}},
                                           {{75, 80, 100}, {75, 80, 100}}}) {
        Graph t(c.dims);
        t.add("a", {"x"}, {"y"});
        t.g.output_names = {"y"};
        int64_t n = 1;
        for (int d : c.dims) n *= d;
        std::vector<float> x(static_cast<size_t>(n));
        for (size_t i = 0; i < x.size(); ++i) x[i] = float(i);
        OutputMap out = t.run(x, c.dims);
        EXPECT_EQ(out["y"].shape, c.out);
        ASSERT_EQ(out["y"].bytes.size(), size_t(n) * 4);
        const float* y = reinterpret_cast<const float*>(out["y"].data);
        EXPECT_EQ(std::vector<float>(y, y + n), x);
    }
}

TEST(Executor, InputCountLimitAndMissingLayers) {
    Graph ok({4});
    ok.add("eight", Names(8, "x"), {"y"});
    ok.g.output_names = {"y"};
    OutputMap out = ok.run({1, 2, 3, 4}, {4});
    EXPECT_EQ(reinterpret_cast<const float*>(out["y"].data)[3], 32.0f);

    Graph nine({4});
    nine.add("wide", Names(9, "x"), {"y"});
    EXPECT_EQ(run_error(nine, {4}), "node 'wide' has 9 inputs (max 8)");

    Graph nolayer({4});
    nolayer.g.nodes.push_back(ArchNode{"ghost", OP_UNKNOWN, {"x"}, {"y"}, false, ""});
    EXPECT_EQ(run_error(nolayer, {4}), "No layer for: ghost");

    Graph unknown_in({4});
    unknown_in.add("a", {"nowhere"}, {"y"});
    EXPECT_THROW(unknown_in.run({1, 2, 3, 4}, {4}), std::out_of_range);
    Graph no_out({4});
    no_out.add("a", {"x"}, {});
    EXPECT_THROW(no_out.run({1, 2, 3, 4}, {4}), std::out_of_range);
}

TEST(Executor, SameNameNodesRunTheLaterLayer) {
    Graph t({4});
    SumLayer* first = t.add("dup", {"x"}, {"y"});
    SumLayer* second = t.add("dup", {"y"}, {"z"});
    t.run({1, 2, 3, 4}, {4});
    EXPECT_EQ(first->calls, 0);
    EXPECT_EQ(second->calls, 2);
}

TEST(Executor, BuffersOnlyGrowAndSmallerRunsReuseThem) {
    Graph t({0, 4});
    t.add("a", {"x"}, {"y"});
    t.g.output_names = {"y"};
    std::vector<float> big(40, 2.0f), small(8, 3.0f);
    t.run(big, {10, 4});
    uint64_t held = t.ex.tensor_buffer_bytes();
    OutputMap out = t.run(small, {2, 4});
    EXPECT_EQ(t.ex.tensor_buffer_bytes(), held);
    EXPECT_EQ(out["y"].shape, (std::vector<int>{2, 4}));
    EXPECT_EQ(reinterpret_cast<const float*>(out["y"].data)[7], 3.0f);
    // A supplied shape with more elements than the planned one grows the
    // input buffer instead of overrunning it.
    std::vector<float> wide(64, 1.0f);
    InputMap in;
    in["x"] = InputTensor{wide.data(), {4, 4, 4}, "float32", {}};
    out = t.ex.run(in);
    EXPECT_EQ(out["y"].shape, (std::vector<int>{4, 4, 4}));
}

TEST(Executor, ProfilingAccumulatesOnlyWhenEnabled) {
    Graph t({4});
    t.add("a", {"x"}, {"y"});
    t.add("b", {"y"}, {"z"});
    t.run({1, 2, 3, 4}, {4});
    EXPECT_TRUE(t.ex.op_profile.empty());
    t.ex.profile_enabled = true;
    t.run({1, 2, 3, 4}, {4});
    EXPECT_EQ(t.ex.op_profile.size(), 1u);
    EXPECT_EQ(t.ex.op_profile.count("add_fp32"), 1u);
    EXPECT_EQ(t.ex.layer_profile.size(), 2u);
}

TEST(Executor, RejectsInputsItCannotBindSafely) {
    Graph t({4});
    t.add("q", {"x"}, {"y"}, kDtypeInt8);
    EXPECT_EQ(run_error(t, {4}), "input 'x' holds float32 data but node 'q' (add_fp32) reads int8; pass an int8 array");
    Graph u({4});
    u.add("a", {"x"}, {"y"});
    EXPECT_NE(run_error(u, {1, 1, 1, 4}).find("at most 3"), std::string::npos);
    InputMap in;
    std::vector<float> x(4);
    in["typo"] = InputTensor{x.data(), {4}, "float32", {}};
    EXPECT_EQ([&] {
        try { u.ex.run(in); } catch (const std::runtime_error& e) { return std::string(e.what()); }
        return std::string();
    }(), "'typo' is not a declared input of this model (declared: 'x')");
}

TEST(Executor, HugeShapesSaturateInsteadOfWrapping) {
    // 2^31-1 cubed is about 2^93: a wrapped product could pass a size check.
    Shape3 huge{INT32_MAX, INT32_MAX, INT32_MAX};
    EXPECT_EQ(element_count(huge), INT64_MAX);
    EXPECT_EQ(byte_count(element_count(huge), 4), UINT64_MAX);
    EXPECT_EQ(element_count(Shape3{3, 4, 5}), 60);
    Graph t({4});
    t.add("a", {"x"}, {"y"});
    EXPECT_EQ(run_error(t, {INT32_MAX, INT32_MAX, INT32_MAX}), "input 'x' is too large");
}

namespace {

// Records the rows of each call. Pixelwise: doubles every value. Otherwise:
// reverses the row order (data moves across pixels, so stacking it would be
// wrong), and with `cut` keeps 1 row when the first value is below 3, else 2.
class RowLayer final : public ILayer {
public:
    RowLayer(bool pix, bool cut) : pix_(pix), cut_(cut) {}
    std::vector<int> rows;
    int dtype() const override { return kDtypeFp32; }
    bool pixelwise() const override { return pix_; }
    Shape3 output_shape(Shape3 in) const override { return in; }
    Shape3 output_shape_from_data(const void* const* data, const Shape3* in, int) const override {
        if (!cut_) return in[0];
        return Shape3{in[0].c, static_cast<const float*>(data[0])[0] < 3 ? 1 : 2, 1};
    }
    Shape3 forward(const TensorView* in, int n, const BufferView* out, ExecContext*) override {
        rows.push_back(in[0].h);
        const float* x = static_cast<const float*>(in[0].data);
        float* y = static_cast<float*>(out->data);
        const Shape3 shape = in[0].shape();
        const void* data = in[0].data;
        const Shape3 s = output_shape_from_data(&data, &shape, n);
        for (int r = 0; r < s.h; ++r)
            for (int c = 0; c < s.c; ++c)
                y[r * s.c + c] = pix_ ? 2 * x[r * s.c + c] : x[(in[0].h - 1 - r) * s.c + c];
        return s;
    }

private:
    bool pix_, cut_;
};

}  // namespace

TEST(Executor, BatchStacksPixelwiseLayersAndMatchesOneSampleRuns) {
    struct Case { bool cut, no_stack; std::vector<int> a, b; };
    // 3 samples of 2 rows x 4 channels. A shape that differs between samples
    // (cut) or VANTREL_NO_BATCH_STACK runs each sample alone.
    // Rows seen by the first (pixelwise) and second layer during the batch.
    for (const Case& k : std::vector<Case>{{false, false, {6}, {2, 2, 2}},
                                           {true, false, {6, 2, 2, 2}, {2, 2, 2}},
                                           {false, true, {2, 2, 2}, {2, 2, 2}}}) {
        ArchGraph g;
        g.inputs.push_back(InputSpec{"x", {0, 4}, 1.0f, 0, "float32"});
        RowLayer* l[3] = {new RowLayer(true, false), new RowLayer(false, k.cut), new RowLayer(true, false)};
        const Names names{"a", "b", "c"}, ts{"x", "y", "z", "out"};
        for (int i = 0; i < 3; ++i) {
            l[i]->name = names[size_t(i)];
            g.nodes.push_back(ArchNode{names[size_t(i)], OP_ADD_FP32, {ts[size_t(i)]}, {ts[size_t(i) + 1]}, false, ""});
            g.layers.emplace_back(l[i]);
        }
        g.output_names = {"out"};
        GraphExecutor ex;
        ex.prepare(g, &cpu_allocator());
        std::vector<float> x(24);
        for (size_t i = 0; i < x.size(); ++i) x[i] = float(i % 7) + 1;  // first values 1, 2, 3
        if (k.no_stack) setenv("VANTREL_NO_BATCH_STACK", "1", 1);
        std::vector<OutputMap> outs = ex.run_batch({{"x", InputTensor{x.data(), {2, 4}, "float32", {}}}}, 3);
        unsetenv("VANTREL_NO_BATCH_STACK");
        EXPECT_EQ(l[0]->rows, k.a);
        EXPECT_EQ(l[1]->rows, k.b);
        ASSERT_EQ(outs.size(), 3u);
        for (int b = 0; b < 3; ++b) {
            OutputMap one = ex.run({{"x", InputTensor{x.data() + 8 * b, {2, 4}, "float32", {}}}});
            EXPECT_EQ(outs[size_t(b)]["out"].shape, one["out"].shape);
            EXPECT_EQ(outs[size_t(b)]["out"].bytes, one["out"].bytes);
        }
    }
}

TEST(PackedWeightSharing, SameKeySharesOneBlockWithinALoad) {
    clear_packed_weight_registry();
    std::shared_ptr<SharedPackedWeight> o1, o2, o3;
    Buffer a = share_host_packed_weight("k", cpu_allocator().make_buffer(64), o1);
    Buffer b = share_host_packed_weight("k", cpu_allocator().make_buffer(64), o2);
    Buffer c = share_host_packed_weight("other", cpu_allocator().make_buffer(64), o3);
    EXPECT_EQ(a.data, b.data);
    EXPECT_NE(a.data, c.data);
    EXPECT_EQ(o1.get(), o2.get());
    EXPECT_EQ(o1.use_count(), 2);
    o1.reset();
    o2.reset();
    std::shared_ptr<SharedPackedWeight> o4;
    Buffer d = share_host_packed_weight("k", cpu_allocator().make_buffer(64), o4);
    EXPECT_EQ(o4.use_count(), 1);  // the dead entry was replaced by a fresh block
    clear_packed_weight_registry();
}

TEST(Executor, SharedBuffersKeepEveryLiveTensor) {
    // a and c share a buffer (a is dead once b is written); b stays live
    // under c and e for the last node, so a wrong plan would change d.
    Graph t({4});
    t.add("a", {"x", "x"}, {"a"});
    t.add("b", {"a", "a"}, {"b"});
    t.add("c", {"b", "b"}, {"c"});
    t.add("e", {"c", "c"}, {"e"});
    t.add("d", {"b", "e"}, {"d"});
    t.g.output_names = {"d"};
    OutputMap out = t.run({1, 2, 3, 4}, {4});
    const float* d = reinterpret_cast<const float*>(out["d"].data);
    EXPECT_EQ(std::vector<float>(d, d + 4), (std::vector<float>{20, 40, 60, 80}));
    EXPECT_EQ(t.ex.tensor_buffer_bytes(), 5u * 16u);
}
