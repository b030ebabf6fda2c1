// 1-D convolution: every path of Conv1dFp32 against a direct sum in double
// (conv2d_f32_reference.h on an L x 1 image), the path choice under
// TAMBOR_FP32_CONV1D_DIRECT, the Winograd kernels against a direct sum,
// the kernels' vector paths and thread counts bit for bit against the
// portable path and one thread; Conv1dInt8 exactly against an emulation of
// its per-row quantisation; and every rejection.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "conv2d_f32_reference.h"
#include "engine/cpu_backend/cpu_backend.h"
#include "kernel_test_paths.h"
#include "kernels/conv/conv1d_f32_direct.h"
#include "kernels/conv/conv1d_f32_wino.h"
#include "kernels/conv/conv1d_pad_rows_f32.h"
#include "kernels/conv/conv1d_s8.h"
#include "kernels/conv/conv2d_f32.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/quantize.h"
#include "layer_test_util.h"
#include "layers/audio/conv1d_fp32.h"
#include "layers/audio/conv1d_int8.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"

using namespace vantrel;
using namespace vantrel_test;

namespace test_conv1d {

using conv_ref::Conv;
using conv_ref::Problem;
using conv_ref::randoms;
using Path = Conv1dFp32::Path;

// runnable_paths arguments for kernels named <stem>_portable, <stem>_avx2, ...
#if defined(__x86_64__)
#define CONV1D_VARIANTS(T, stem) T(stem##_portable), T(stem##_avx2), T(stem##_avx512), T(nullptr)
#elif defined(__aarch64__)
#define CONV1D_VARIANTS(T, stem) T(stem##_portable), T(nullptr), T(nullptr), T(stem##_neon)
#else
#define CONV1D_VARIANTS(T, stem) T(stem##_portable), T(nullptr), T(nullptr), T(nullptr)
#endif

namespace {


// A 1-D case: C_in, L, C_out, K, stride, padding, dilation, groups.
struct C1 {
    int cin, l, cout, k, s, p, d, g;
    bool relu, bias;
    Conv conv() const { return Conv{cin, l, 1, cout, k, 1, s, 1, p, 0, d, 1, g, relu, bias}; }
};
void PrintTo(const C1& c, std::ostream* os) { conv_ref::PrintTo(c.conv(), os); }

std::unique_ptr<ILayer> make(const C1& c, bool relu) {
    auto kv = [](const char* k, int v) { return std::string(",\"") + k + "\":" + std::to_string(v); };
    JsonValue node = parse_json(std::string(R"({"op":"conv1d_fp32")") + kv("C_out", c.cout) + kv("C_in", c.cin) +
                                kv("kernel_size", c.k) + kv("stride", c.s) + kv("padding", c.p) +
                                kv("dilation", c.d) + kv("groups", c.g) + "}");
    return create_layer("c1", op_code_from_name("conv1d_fp32"), node, relu);
}

struct EnvGuard {
    explicit EnvGuard(const char* v) {
        if (v) setenv("TAMBOR_FP32_CONV1D_DIRECT", v, 1);
        else unsetenv("TAMBOR_FP32_CONV1D_DIRECT");
    }
    ~EnvGuard() { unsetenv("TAMBOR_FP32_CONV1D_DIRECT"); }
};

// Builds, loads and runs one layer; scratch area 2 exactly as planned or absent.
std::vector<float> run_layer(const Problem& p, const char* env, bool with_scratch, Path* path = nullptr) {
    const Conv& c = p.c;
    EnvGuard e(env);
    ByteTensors t = {{"c1.weight", bytes_of(p.w)}};
    if (c.bias) t["c1.bias"] = bytes_of(p.bias);
    C1 c1{c.cin, c.h, c.cout, c.kh, c.sh, c.ph, c.dh, c.groups, c.relu, c.bias};
    auto l = make(c1, c.relu);
    l->load_weights(fetch_bytes(t, 4));
    if (path) *path = dynamic_cast<Conv1dFp32&>(*l).path();
    std::vector<float> in = p.in, y = p.fresh();
    TensorView v{in.data(), 0, in.size() * 4, c.cin, c.h, 1};
    ScratchRequest req;
    l->plan_scratch(v.shape(), req);
    std::vector<uint8_t> s2(with_scratch ? req.bytes[2] : 0);
    ExecContext ctx;
    ctx.scratch[2] = BufferView{s2.empty() ? nullptr : s2.data(), 0, s2.size()};
    BufferView out{y.data(), 0, p.out_size() * 4};
    const Shape3 got = l->forward(&v, 1, &out, &ctx);
    EXPECT_EQ(got, (Shape3{c.cout, c.oh(), 1}));
    EXPECT_EQ(l->output_shape(v.shape()), got);
    return y;
}

struct LayerCase {
    C1 c;
    Path path;
    double tol;  // relative to the sum of |terms|
};
void PrintTo(const LayerCase& lc, std::ostream* os) { PrintTo(lc.c, os); }

class Conv1dLayer : public ::testing::TestWithParam<LayerCase> {};

// Each path against the reference, with 1, 2 and 3 threads and with planned
// or own scratch, all bit-identical.
TEST_P(Conv1dLayer, MatchesReferenceOnEveryThreadCount) {
    const LayerCase& lc = GetParam();
    const Problem p(lc.c.conv());
    Path path;
    std::vector<float> y1;
    {
        Threads t(1);
        y1 = run_layer(p, nullptr, true, &path);
    }
    EXPECT_EQ(path, lc.path);
    p.expect_near(y1, lc.tol);
    for (int threads : {2, 3}) {
        Threads t(threads);
        for (bool scratch : {true, false}) {
            std::vector<float> y = run_layer(p, nullptr, scratch);
            EXPECT_EQ(0, std::memcmp(y1.data(), y.data(), y.size() * 4)) << threads << " threads, scratch " << scratch;
        }
    }
}
INSTANTIATE_TEST_SUITE_P(
    Paths, Conv1dLayer,
    ::testing::Values(
        LayerCase{{5, 19, 6, 3, 1, 1, 1, 1, true, true}, Path::Winograd, 1e-5},     // F(4,3), 19 % 4 != 0
        LayerCase{{4, 30, 7, 7, 1, 3, 1, 1, false, true}, Path::Winograd, 1e-4},    // F(2,7)
        LayerCase{{32, 900, 32, 7, 1, 3, 1, 1, false, true}, Path::Winograd, 1e-4}, // blocks of tiles
        LayerCase{{16, 1001, 24, 3, 1, 1, 1, 1, true, true}, Path::Winograd, 1e-5},
        LayerCase{{3, 25, 5, 11, 1, 5, 1, 1, true, false}, Path::Direct, 1e-5},     // 11 taps: direct
        LayerCase{{6, 17, 9, 5, 1, 2, 1, 1, true, true}, Path::Direct, 1e-5},
        LayerCase{{7, 40, 13, 3, 1, 2, 2, 1, false, true}, Path::Direct, 1e-5},     // dilated 3: direct
        LayerCase{{9, 11, 5, 1, 1, 0, 1, 1, false, true}, Path::Pointwise, 1e-5},
        LayerCase{{4, 6, 6, 1, 1, 1, 1, 1, true, true}, Path::Pointwise, 1e-5},     // L + 2 outputs
        LayerCase{{5, 23, 6, 4, 2, 1, 1, 1, true, true}, Path::Generic, 1e-5},      // stride 2
        LayerCase{{8, 15, 6, 3, 1, 1, 1, 2, false, true}, Path::Generic, 1e-5},     // 2 groups
        LayerCase{{6, 20, 12, 5, 2, 4, 2, 3, true, true}, Path::Generic, 1e-5},     // 3 groups, stride, dilation
        LayerCase{{4, 16, 8, 3, 1, 1, 1, 4, false, true}, Path::Generic, 1e-5},     // depthwise x2
        LayerCase{{3, 4, 5, 7, 1, 1, 1, 1, false, true}, Path::Winograd, 1e-5},     // too short: 0 outputs
        LayerCase{{3, 2, 5, 5, 2, 0, 1, 1, false, true}, Path::Generic, 1e-5}));    // too short, stride 2

struct PathCase {
    const char* env;
    int k, stride, dilation, groups;
    Path want;
};
class Conv1dPathChoice : public ::testing::TestWithParam<PathCase> {};
TEST_P(Conv1dPathChoice, FollowsEnvironment) {
    const PathCase& c = GetParam();
    EXPECT_EQ(Conv1dFp32::choose_path(c.k, c.stride, c.dilation, c.groups, c.env), c.want)
        << (c.env ? c.env : "(unset)") << " k" << c.k;
}
INSTANTIATE_TEST_SUITE_P(
    Env, Conv1dPathChoice,
    ::testing::Values(PathCase{nullptr, 3, 1, 1, 1, Path::Winograd}, PathCase{"", 7, 1, 1, 1, Path::Winograd},
                      PathCase{"0", 11, 1, 1, 1, Path::Direct}, PathCase{"07", 7, 1, 1, 1, Path::Winograd},
                      PathCase{"wino", 3, 1, 1, 1, Path::Winograd}, PathCase{"abc", 3, 1, 1, 1, Path::Winograd},
                      PathCase{"1", 3, 1, 1, 1, Path::Direct}, PathCase{"all", 11, 1, 1, 1, Path::Direct},
                      PathCase{"1", 1, 1, 1, 1, Path::Pointwise}, PathCase{"3,7", 7, 1, 1, 1, Path::Direct},
                      PathCase{"3,7", 11, 1, 1, 1, Path::Direct}, PathCase{"3,7", 5, 1, 1, 1, Path::Direct},
                      PathCase{" ;:3", 3, 1, 1, 1, Path::Direct}, PathCase{"3,x", 3, 1, 1, 1, Path::Direct},
                      PathCase{"7,x,3", 3, 1, 1, 1, Path::Winograd}, PathCase{"3,", 7, 1, 1, 1, Path::Winograd},
                      PathCase{"11", 11, 1, 1, 1, Path::Direct}, PathCase{"1", 7, 1, 1, 1, Path::Direct},
                      PathCase{"7", 1, 1, 1, 1, Path::Pointwise}, PathCase{nullptr, 3, 1, 2, 1, Path::Direct},
                      PathCase{nullptr, 5, 1, 1, 1, Path::Direct}, PathCase{"all", 3, 2, 1, 1, Path::Generic},
                      PathCase{"all", 3, 1, 1, 2, Path::Generic}, PathCase{nullptr, 1, 2, 1, 1, Path::Generic}));

TEST(Conv1dFp32Layer, EnvironmentIsReadWhenWeightsAreBound) {
    const Problem p(C1{4, 21, 5, 7, 1, 3, 1, 1, false, true}.conv());
    Path wino, direct;
    std::vector<float> yw = run_layer(p, nullptr, true, &wino);
    std::vector<float> yd = run_layer(p, "5 ,7", true, &direct);
    EXPECT_EQ(wino, Path::Winograd);
    EXPECT_EQ(direct, Path::Direct);
    p.expect_near(yd, 1e-5);
}

// ---- kernels: vector paths and thread counts vs portable, one thread ----

struct DirectCase {
    int cin, lout, cout, k, d;
    bool relu, bias;
};
class Conv1dDirectKernel : public ::testing::TestWithParam<DirectCase> {};
TEST_P(Conv1dDirectKernel, PathsAndThreadsMatchPortableAndGeneric) {
    const DirectCase& c = GetParam();
    const int64_t rows = c.lout + int64_t(c.k - 1) * c.d;
    std::vector<float> p = randoms(size_t(rows * c.cin), 7), wr = randoms(size_t(c.cout) * c.k * c.cin, 8),
                       bias = randoms(size_t(c.cout), 9);
    std::vector<float> wp(size_t(conv1d_direct_packed_floats(c.cout, c.k, c.cin)));
    conv1d_direct_pack_f32(wr.data(), wp.data(), c.cout, c.k, c.cin);
    const float* b = c.bias ? bias.data() : nullptr;
    const size_t n = size_t(c.lout) * c.cout;
    std::vector<float> want(n + 8, -7.0f);
    {
        Threads t(1);
        conv1d_f32_direct_portable(p.data(), wp.data(), b, want.data(), c.cin, c.lout, c.cout, c.k, c.d, c.relu);
    }
    for (size_t i = n; i < want.size(); ++i) ASSERT_EQ(want[i], -7.0f) << "write past the end";
    // The generic path (im2col + GEMM, reduction order (k, c)) sums the same way.
    std::vector<float> gen(n);
    std::vector<float> bp_src(wr);
    float* bp = pack_f32(bp_src.data(), c.cout, c.k * c.cin);
    k_conv2d_f32(p.data(), nullptr, b, gen.data(), c.cin, int32_t(rows), 1, c.cout, c.k, 1, 1, 1, 0, 0, c.relu, bp,
                 nullptr, c.d, 1, nullptr);
    free_packed_f32(bp);
    for (size_t i = 0; i < n; ++i) ASSERT_TRUE(same_float(gen[i], want[i])) << "generic, output " << i;
    using Fn = void (*)(VANTREL_CONV1D_DIRECT_F32_ARGS);
    for (auto& [path, fn] : runnable_paths(CONV1D_VARIANTS(Fn, conv1d_f32_direct))) {
        for (int threads : {1, 2, 3}) {
            Threads t(threads);
            std::vector<float> y(n + 8, -7.0f);
            fn(p.data(), wp.data(), b, y.data(), c.cin, c.lout, c.cout, c.k, c.d, c.relu);
            for (size_t i = 0; i < y.size(); ++i)
                ASSERT_TRUE(same_float(y[i], want[i])) << path << ", " << threads << " threads, output " << i;
        }
    }
}
INSTANTIATE_TEST_SUITE_P(Shapes, Conv1dDirectKernel,
                         ::testing::Values(DirectCase{1, 1, 1, 2, 1, false, false}, DirectCase{3, 13, 5, 3, 2, true, true},
                                           DirectCase{9, 29, 22, 5, 3, true, true},
                                           DirectCase{17, 7, 37, 4, 1, false, true},
                                           // above 2,000,000 multiply-adds: a team splits time blocks
                                           DirectCase{64, 203, 36, 5, 1, true, true},
                                           // ... or channel blocks (C_out > L_out)
                                           DirectCase{96, 30, 150, 9, 2, false, true}));

struct WinoCase {
    int cin, lout, cout, r;
    bool relu, bias;
};
class Conv1dWinoKernel : public ::testing::TestWithParam<WinoCase> {};
TEST_P(Conv1dWinoKernel, PathsAndThreadsMatchPortable) {
    const WinoCase& c = GetParam();
    const Conv1dWinograd& w = *conv1d_winograd_for(c.r);
    const int64_t tiles = conv1d_wino_tiles(w, c.lout);
    const int64_t rows = conv1d_wino_padded_rows(w, tiles, c.lout + c.r - 1);
    std::vector<float> x = randoms(size_t((c.lout + c.r - 1) * c.cin), 3), wr = randoms(size_t(c.cout) * c.r * c.cin, 4),
                       bias = randoms(size_t(c.cout), 5);
    std::vector<float> padded(size_t(rows * c.cin));
    conv1d_pad_rows_f32(x.data(), c.lout + c.r - 1, c.cin, 0, rows, padded.data());
    std::vector<float> u(size_t(w.n) * c.cout * c.cin);
    conv1d_wino_filter_transform(w, wr.data(), u.data(), c.cout, c.cin);
    std::vector<float*> up;
    for (int t = 0; t < w.n; ++t) up.push_back(pack_f32(u.data() + size_t(t) * c.cout * c.cin, c.cout, c.cin));
    const float* b = c.bias ? bias.data() : nullptr;
    const size_t n = size_t(c.lout) * c.cout;
    auto run = [&](Conv1dWinoF32Fn fn) {
        std::vector<float> v(size_t(w.n * tiles * c.cin)), m(size_t(w.n * tiles * c.cout)), y(n + 8, -7.0f);
        fn(padded.data(), up.data(), b, y.data(), c.cin, c.lout, c.cout, c.r, c.relu, v.data(), m.data());
        return y;
    };
    std::vector<float> want;
    {
        Threads t(1);
        want = run(&conv1d_f32_wino_portable);
    }
    // The direct reference in double: Winograd differs by rounding only.
    // F(2,11)'s transforms reach 14400 and 1/14400, which costs it about
    // three decimal digits in float32 (up to ~6e-3 of the sum of |terms|).
    const double tol = c.r == 11 ? 1e-2 : 1e-4;
    for (int64_t t = 0; t < c.lout; ++t)
        for (int o = 0; o < c.cout; ++o) {
            double s = b ? b[o] : 0.0, a = 1e-3;
            for (int k = 0; k < c.r; ++k)
                for (int ci = 0; ci < c.cin; ++ci) {
                    const double term = double(x[size_t((t + k) * c.cin + ci)]) * wr[(size_t(o) * c.r + k) * c.cin + ci];
                    s += term;
                    a += std::fabs(term);
                }
            if (c.relu && s < 0) s = 0;
            ASSERT_NEAR(want[size_t(t) * c.cout + o], s, tol * a) << "t " << t << " o " << o;
        }
    for (auto& [path, fn] : runnable_paths(CONV1D_VARIANTS(Conv1dWinoF32Fn, conv1d_f32_wino))) {
        for (int threads : {1, 2, 3}) {
            Threads t(threads);
            std::vector<float> y = run(fn);
            for (size_t i = 0; i < y.size(); ++i)
                ASSERT_TRUE(same_float(y[i], want[i])) << path << ", " << threads << " threads, output " << i;
        }
    }
    for (float* q : up) free_packed_f32(q);
}
INSTANTIATE_TEST_SUITE_P(Shapes, Conv1dWinoKernel,
                         ::testing::Values(WinoCase{1, 1, 1, 3, false, false}, WinoCase{5, 21, 19, 3, true, true},
                                           WinoCase{18, 37, 7, 7, true, true}, WinoCase{3, 16, 33, 11, false, true},
                                           // enough tiles that the transforms use a team
                                           WinoCase{64, 400, 32, 3, true, true}));

// ---- rejections --------------------------------------------------------

struct BadArgs {
    C1 c;
    const char* arg;
};
class Conv1dBadArgs : public ::testing::TestWithParam<BadArgs> {};
TEST_P(Conv1dBadArgs, NamesNodeAndArgument) {
    try {
        make(GetParam().c, false);
        FAIL() << "accepted";
    } catch (const std::runtime_error& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("conv1d_fp32 node 'c1'"), std::string::npos) << m;
        EXPECT_NE(m.find(std::string("'") + GetParam().arg + "'"), std::string::npos) << m;
    }
}
INSTANTIATE_TEST_SUITE_P(Geometry, Conv1dBadArgs,
                         ::testing::Values(BadArgs{{4, 8, 4, 3, 1, 0, 0, 1, false, false}, "dilation"},
                                           BadArgs{{6, 8, 4, 3, 1, 0, 1, 4, false, false}, "groups"},    // C_in % 4
                                           BadArgs{{4, 8, 6, 3, 1, 0, 1, 4, false, false}, "groups"}));  // C_out % 4

TEST(Conv1dFp32Layer, WeightsMustHaveExactLengths) {
    const C1 c{4, 10, 6, 3, 1, 1, 1, 2, false, true};  // (4/2)*3 = 6 weights per output
    auto load = [&](size_t nw, long nb) {
        ByteTensors t = {{"c1.weight", bytes_of(std::vector<float>(nw, 0.5f))}};
        if (nb >= 0) t["c1.bias"] = bytes_of(std::vector<float>(size_t(nb), 0.25f));
        auto l = make(c, false);
        l->load_weights(fetch_bytes(t, 4));
    };
    EXPECT_NO_THROW(load(36, -1));
    EXPECT_NO_THROW(load(36, 0));  // an empty bias is no bias
    EXPECT_NO_THROW(load(36, 6));
    for (auto [nw, nb] : {std::pair<size_t, long>{35, -1}, {72, -1}, {36, 5}, {36, 7}}) {
        try {
            load(nw, nb);
            ADD_FAILURE() << nw << " weights, " << nb << " biases accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("conv1d_fp32 node 'c1'"), std::string::npos) << e.what();
        }
    }
    ByteTensors none;
    auto l = make(c, false);
    EXPECT_THROW(l->load_weights(fetch_bytes(none, 4)), std::runtime_error);
}

TEST(Conv1dFp32Layer, ForwardRejectsWhatItCannotIndex) {
    const C1 c{4, 10, 6, 3, 1, 1, 1, 1, false, false};
    std::vector<float> in(40, 1.0f), y(60);
    ByteTensors t = {{"c1.weight", bytes_of(std::vector<float>(72, 0.5f))}};
    auto l = make(c, false);
    EXPECT_EQ(forward_after_refusals(*l, fetch_bytes(t, 4), in, 4, 10, 60), (Shape3{6, 10, 1}));
    BufferView out{y.data(), 0, y.size() * 4};
    TensorView wrong_c{in.data(), 0, in.size() * 4, 5, 8, 1};
    EXPECT_THROW(l->forward(&wrong_c, 1, &out, nullptr), std::runtime_error);
    // A negative or too short length gives 0 outputs, never a negative extent.
    EXPECT_EQ(l->output_shape({4, -5, 1}), (Shape3{6, 0, 1}));
    auto k9 = make(C1{4, 0, 6, 9, 1, 1, 1, 1, false, false}, false);
    EXPECT_EQ(k9->output_shape({4, 6, 1}), (Shape3{6, 0, 1}));
}

}  // namespace

}  // namespace test_conv1d

namespace test_conv1d_s8 {

namespace {


// Symmetric row quantisation: blocks of 16 round half to even, the tail
// half away from zero; a row below 1.27e-6 gets scale 1e-8.
float ref_quantise(const float* x, int n, int8_t* q) {
    float amax = 0;
    for (int i = 0; i < n; ++i) amax = std::max(amax, std::fabs(x[i]));
    const bool tiny = amax < 1.27e-6f;
    const float inv = tiny ? 1e8f : 127.0f / amax, scale = tiny ? 1e-8f : amax * 0.007874016f;
    for (int i = 0; i < n; ++i) {
        const float v = x[i] * inv;
        const float r = i < n / 16 * 16 ? std::nearbyint(v) : std::round(v);
        q[i] = int8_t(std::min(127.0f, std::max(-128.0f, r)));
    }
    return scale;
}

struct Case {
    int cin, l, cout, k, s, p, d, g;
    bool bias;
    int lout() const {
        const int span = l + 2 * p - (k - 1) * d - 1;
        return span < 0 ? 0 : span / s + 1;
    }
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << "cin" << c.cin << " l" << c.l << " cout" << c.cout << " k" << c.k << " s" << c.s << " p" << c.p
        << " d" << c.d << " g" << c.g << (c.bias ? " bias" : "");
}

struct Problem {
    Case c;
    std::vector<float> x, ws, bias;
    std::vector<int8_t> w;  // [o][k][c]
    explicit Problem(const Case& c_) : c(c_) {
        std::mt19937 rng(c.cin * 131 + c.l * 7 + c.k);
        std::uniform_real_distribution<float> u(-2.0f, 2.0f);
        std::uniform_int_distribution<int> q(-128, 127);
        x.resize(size_t(c.l) * c.cin);
        for (auto& v : x) v = u(rng);
        // An all-zero row inside the signal: scale 1e-8, no contribution.
        if (c.l > 2) std::fill(x.begin() + 2 * c.cin, x.begin() + 3 * c.cin, 0.0f);
        w.resize(size_t(c.cout) * c.k * (c.cin / c.g));
        for (auto& v : w) v = int8_t(q(rng));
        ws.resize(size_t(c.cout));
        for (auto& v : ws) v = std::fabs(u(rng)) * 0.01f + 1e-4f;
        if (c.bias) {
            bias.resize(size_t(c.cout));
            for (auto& v : bias) v = u(rng);
        }
    }

    // What the layer must give, bit for bit.
    std::vector<float> reference() const {
        const int cg = c.cin / c.g, cog = c.cout / c.g, lo = c.lout();
        std::vector<float> y(size_t(lo) * c.cout);
        auto in_row = [&](int r) { return r >= 0 && r < c.l ? &x[size_t(r) * c.cin] : nullptr; };
        if (c.s == 1 && c.g == 1) {
            const int rows = c.l + 2 * c.p;
            std::vector<int8_t> q(size_t(rows) * c.cin, 0);
            std::vector<float> s(size_t(rows), 1e-8f);
            for (int r = 0; r < rows; ++r)
                if (const float* src = in_row(r - c.p)) s[r] = ref_quantise(src, c.cin, &q[size_t(r) * c.cin]);
            for (int t = 0; t < lo; ++t)
                for (int o = 0; o < c.cout; ++o) {
                    float acc_y = 0;
                    for (int k = 0; k < c.k; ++k) {
                        const int r = t + k * c.d;
                        int64_t acc = 0;
                        for (int ch = 0; ch < c.cin; ++ch)
                            acc += int64_t(q[size_t(r) * c.cin + ch]) * w[(size_t(o) * c.k + k) * c.cin + ch];
                        const float prod = float(int32_t(acc)) * ws[o];
                        if (k > 0) acc_y = std::fmaf(s[r], prod, acc_y);
                        else acc_y = c.bias ? std::fmaf(s[r], prod, bias[o]) : s[r] * prod;
                    }
                    y[size_t(t) * c.cout + o] = acc_y;
                }
            return y;
        }
        const int row = c.k * cg;
        std::vector<float> col(static_cast<size_t>(row));
        std::vector<int8_t> q(static_cast<size_t>(row));
        for (int j = 0; j < c.g; ++j)
            for (int t = 0; t < lo; ++t) {
                for (int k = 0; k < c.k; ++k) {
                    const float* src = in_row(t * c.s + k * c.d - c.p);
                    for (int ch = 0; ch < cg; ++ch) col[size_t(k) * cg + ch] = src ? src[j * cg + ch] : 0.0f;
                }
                const float st = ref_quantise(col.data(), row, q.data());
                for (int oo = 0; oo < cog; ++oo) {
                    const int o = j * cog + oo;
                    int64_t acc = 0;
                    for (int i = 0; i < row; ++i) acc += int64_t(q[i]) * w[size_t(o) * row + i];
                    float v = (float(int32_t(acc)) * ws[o]) * st;
                    if (c.bias) v = v + bias[o];
                    y[size_t(t) * c.cout + o] = v;
                }
            }
        return y;
    }

    ByteTensors tensors() const {
        ByteTensors t = {{"c1.weight_i8", bytes_of(w)}, {"c1.w_scales", bytes_of(ws)}};
        if (c.bias) t["c1.bias"] = bytes_of(bias);
        return t;
    }
};

std::string node_json(const Case& c) {
    auto kv = [](const char* k, int v) { return std::string(",\"") + k + "\":" + std::to_string(v); };
    return std::string(R"({"op":"conv1d_int8")") + kv("C_out", c.cout) + kv("C_in", c.cin) + kv("kernel_size", c.k) +
           kv("stride", c.s) + kv("padding", c.p) + kv("dilation", c.d) + kv("groups", c.g) + "}";
}
std::unique_ptr<ILayer> make(const std::string& json) {
    return create_layer("c1", op_code_from_name("conv1d_int8"), parse_json(json), false);
}

std::vector<float> run(const Problem& p, bool with_scratch) {
    const Case& c = p.c;
    auto l = make(node_json(c));
    const ByteTensors t = p.tensors();
    l->load_weights(fetch_bytes(t));
    EXPECT_EQ(dynamic_cast<Conv1dInt8&>(*l).per_tap(), c.s == 1 && c.g == 1);
    return run_conv1d(*l, p.x, c.cin, c.l, c.cout, c.lout(), with_scratch);
}

class Conv1dInt8Layer : public ::testing::TestWithParam<Case> {};

TEST_P(Conv1dInt8Layer, ExactOnEveryThreadCountAndScratch) {
    const Problem p(GetParam());
    const std::vector<float> want = p.reference();
    for (int threads : {1, 2, 3}) {
        Threads t(threads);
        for (bool scratch : {true, false}) {
            const std::vector<float> y = run(p, scratch);
            ASSERT_EQ(y.size(), want.size());
            for (size_t i = 0; i < y.size(); ++i)
                ASSERT_EQ(y[i], want[i]) << "output " << i << ", " << threads << " threads, scratch " << scratch;
        }
    }
}
INSTANTIATE_TEST_SUITE_P(
    Paths, Conv1dInt8Layer,
    ::testing::Values(Case{5, 19, 6, 3, 1, 1, 1, 1, true},      // per tap
                      Case{20, 13, 9, 1, 1, 0, 1, 1, false},    // per tap, one tap; a 16-block and a tail
                      Case{17, 30, 12, 5, 1, 4, 2, 1, true},    // per tap, dilated, padded
                      Case{33, 9, 40, 3, 1, 1, 1, 1, true},     // per tap, fewer rows than channels
                      Case{6, 23, 8, 4, 2, 1, 1, 1, true},      // im2col, stride 2
                      Case{8, 15, 6, 3, 1, 1, 1, 2, false},     // 2 groups, unit stride
                      Case{6, 20, 12, 5, 2, 4, 2, 3, true},     // 3 groups, stride, dilation
                      Case{4, 16, 8, 3, 1, 1, 1, 4, true},      // depthwise, two outputs per channel
                      Case{3, 4, 5, 7, 1, 1, 1, 1, true},       // too short: no output
                      Case{3, 2, 5, 5, 2, 0, 1, 1, true}));     // too short, im2col

class Conv1dInt8Rejects : public ::testing::TestWithParam<ConvReject> {};
TEST_P(Conv1dInt8Rejects, WithAClearMessage) {
    expect_conv_reject(make, Problem(Case{4, 6, 6, 3, 1, 1, 1, 2, true}).tensors(), GetParam(), 6,
                       "conv1d_int8 node 'c1'");
}
const std::string kOk = node_json(Case{4, 6, 6, 3, 1, 1, 1, 2, true});
std::string with(const char* extra) { return kOk.substr(0, kOk.size() - 1) + "," + extra + "}"; }
INSTANTIATE_TEST_SUITE_P(
    Cases, Conv1dInt8Rejects,
    ::testing::Values(
        ConvReject{with(R"("kernel_size":0)"), nullptr, {}, 4, "'kernel_size' must be at least 1"},
        ConvReject{with(R"("groups":4)"), nullptr, {}, 4, "'groups' (4) must divide C_in (4) and C_out (6)"},
        ConvReject{kOk, "c1.weight_i8", {}, 4, "'c1.weight_i8' is missing"},
        ConvReject{kOk, "c1.weight_i8", std::vector<uint8_t>(35), 4, "holds 35 int8 values, expected 36"},
        ConvReject{kOk, "c1.w_scales", {}, 4, "'c1.w_scales' is missing"},
        ConvReject{kOk, "c1.w_scales", bytes_of(std::vector<float>(5, 1.0f)), 4, "holds 5 float32 values, expected 6"},
        ConvReject{kOk, "c1.w_scales", bytes_of(std::vector<float>{1, 1, NAN, 1, 1, 1}), 4, "entry 2 is not finite"},
        ConvReject{kOk, "c1.bias", bytes_of(std::vector<float>(7)), 4, "'c1.bias' holds 7 floats, expected 6"},
        ConvReject{kOk, nullptr, {}, 5, "input has 5 channels, expected C_in = 4"}));

TEST(Conv1dInt8Layer, RefusesShortBuffersAndUnloadedWeights) {
    const Problem p(Case{4, 6, 6, 3, 1, 1, 1, 1, false});
    const ByteTensors t = p.tensors();
    EXPECT_EQ(forward_after_refusals(*make(node_json(p.c)), fetch_bytes(t), p.x, 4, 6, 36), (Shape3{6, 6, 1}));
}

}  // namespace

}  // namespace test_conv1d_s8
