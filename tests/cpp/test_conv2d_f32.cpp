// Float 2-D convolution kernels (im2col + GEMM, Winograd, depthwise, grouped)
// against a direct convolution summed in double, written here; plus the
// invariants that must hold bit for bit: null vs provided scratch, 1 vs 2
// threads, and every depthwise vector path vs the portable one.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "engine/cpu_backend/cpu_backend.h"
#include "kernels/conv/conv2d_f32.h"
#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/conv2d_f32_grouped.h"
#include "kernels/conv/conv2d_f32_wino.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/kernel_path.h"
#include "tests/cpp/conv2d_f32_reference.h"

using namespace vantrel;

using namespace conv_ref;

namespace {

// Runs fn with 1 and with 2 OpenMP threads; both outputs must agree bit for bit.
std::vector<float> one_and_two_threads(const std::function<void(std::vector<float>&)>& fn,
                                       const Problem& p) {
    const int saved = omp_get_max_threads();
    std::vector<float> y1 = p.fresh(), y2 = p.fresh();
    omp_set_num_threads(1);
    fn(y1);
    omp_set_num_threads(2);
    fn(y2);
    omp_set_num_threads(saved);
    EXPECT_EQ(0, std::memcmp(y1.data(), y2.data(), y1.size() * sizeof(float))) << "1 vs 2 threads";
    return y1;
}

std::vector<float> reorder(const Problem& p) {
    const int cig = p.c.cin / p.c.groups, taps = p.c.kh * p.c.kw;
    std::vector<float> r(p.w.size());
    for (int o = 0; o < p.c.cout; ++o)
        for (int ci = 0; ci < cig; ++ci)
            for (int t = 0; t < taps; ++t) r[(size_t(o) * taps + t) * cig + ci] = p.w[(size_t(o) * cig + ci) * taps + t];
    return r;
}

class Conv2dF32Im2col : public ::testing::TestWithParam<Conv> {};
TEST_P(Conv2dF32Im2col, MatchesDirectReference) {
    const Problem p(GetParam());
    const Conv& c = p.c;
    std::vector<float> r = reorder(p);
    float* bp = pack_f32(r.data(), c.cout, c.kh * c.kw * c.cin);
    std::vector<float> scratch(size_t(c.oh()) * c.ow() * c.kh * c.kw * c.cin + 1);
    auto run = [&](std::vector<float>& y, const float* packed, float* s) {
        k_conv2d_f32(p.in.data(), p.w.data(), p.b(), y.data(), c.cin, c.h, c.w, c.cout, c.kh, c.kw, c.sh,
                     c.sw, c.ph, c.pw, c.relu, packed, s, c.dh, c.dw, nullptr);
    };
    std::vector<float> y = one_and_two_threads([&](std::vector<float>& o) { run(o, bp, scratch.data()); }, p);
    p.expect_near(y, 2e-6);
    // Null scratch and null packed weights give the same bits.
    std::vector<float> y_null =
        one_and_two_threads([&](std::vector<float>& o) { run(o, nullptr, nullptr); }, p);
    EXPECT_EQ(0, std::memcmp(y.data(), y_null.data(), y.size() * sizeof(float)));
    free_packed_f32(bp);
}
INSTANTIATE_TEST_SUITE_P(
    Shapes, Conv2dF32Im2col,
    ::testing::Values(Conv{3, 6, 7, 10, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, true},  // pad rows of zeros
                      Conv{8, 5, 4, 17, 1, 1, 1, 1, 0, 0, 1, 1, 1, true, true},   // direct 1x1
                      Conv{5, 7, 6, 6, 1, 1, 2, 2, 0, 0, 1, 1, 1, false, false},  // 1x1 stride 2: not direct
                      Conv{4, 6, 6, 5, 1, 1, 1, 1, 0, 0, 2, 2, 1, false, true},   // 1x1 dilation 2
                      Conv{3, 5, 5, 4, 3, 3, 2, 2, 1, 1, 1, 1, 1, true, true},    // 5x5 -> 3x3
                      Conv{2, 9, 8, 3, 3, 2, 1, 2, 2, 1, 2, 3, 1, false, true},   // dilated, mixed
                      Conv{16, 32, 32, 32, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true},  // parallel GEMM
                      Conv{3, 2, 2, 4, 5, 5, 1, 1, 1, 1, 1, 1, 1, false, true}));  // 0 x 0 output

class Conv2dF32Winograd : public ::testing::TestWithParam<Conv> {};
TEST_P(Conv2dF32Winograd, MatchesDirectReference) {
    const Problem p(GetParam());
    const Conv& c = p.c;
    const size_t plane = size_t(c.cout) * c.cin;
    std::vector<float> u(16 * plane);
    float e[16];
    for (size_t oc = 0; oc < plane; ++oc) {
        winograd_weight_transform_f32(p.w.data() + oc * 9, e);
        for (int t = 0; t < 16; ++t) u[t * plane + oc] = e[t];
    }
    float* bp[16];
    for (int t = 0; t < 16; ++t) bp[t] = pack_f32(u.data() + t * plane, c.cout, c.cin);
    const size_t tiles = size_t((c.h + 1) / 2) * ((c.w + 1) / 2);
    std::vector<float> scratch(16 * tiles * (c.cin + c.cout));
    auto run = [&](std::vector<float>& y, float* s) {
        k_conv2d_f32_wino(p.in.data(), bp, p.b(), y.data(), c.cin, c.h, c.w, c.cout, c.relu, s, nullptr,
                          p.w.data());
    };
    std::vector<float> y = one_and_two_threads([&](std::vector<float>& o) { run(o, scratch.data()); }, p);
    p.expect_near(y, 1e-5);
    std::vector<float> y_null = one_and_two_threads([&](std::vector<float>& o) { run(o, nullptr); }, p);
    EXPECT_EQ(0, std::memcmp(y.data(), y_null.data(), y.size() * sizeof(float)));
    for (float* b : bp) free_packed_f32(b);
}
INSTANTIATE_TEST_SUITE_P(
    Shapes, Conv2dF32Winograd,
    ::testing::Values(Conv{3, 5, 7, 10, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, true},  // odd H and W
                      Conv{5, 8, 6, 17, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true},   // cin, cout not x4
                      Conv{1, 1, 1, 2, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, false},  // one pixel
                      Conv{12, 9, 1, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, false},  // one column
                      Conv{16, 20, 18, 24, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true}));

using DepthwiseFn = void (*)(VANTREL_DEPTHWISE_F32_ARGS);
struct DwPath {
    KernelPath id;
    DepthwiseFn fn;
};
std::vector<DwPath> vector_depthwise_paths() {
    std::vector<DwPath> v;
#if defined(__x86_64__)
    v.push_back({KernelPath::Avx2, &conv2d_f32_depthwise_avx2});
    v.push_back({KernelPath::Avx512, &conv2d_f32_depthwise_avx512});
#endif
#if defined(__aarch64__)
    v.push_back({KernelPath::Neon, &conv2d_f32_depthwise_neon});
#endif
    return v;
}

class Conv2dF32Depthwise : public ::testing::TestWithParam<Conv> {};
TEST_P(Conv2dF32Depthwise, PortableMatchesReferenceAndVectorPathsMatchPortable) {
    const Problem p(GetParam());
    const Conv& c = p.c;
    std::vector<float> taps(p.w.size());
    for (int o = 0; o < c.cout; ++o)
        for (int t = 0; t < c.kh * c.kw; ++t) taps[size_t(t) * c.cout + o] = p.w[size_t(o) * c.kh * c.kw + t];
    auto runner = [&](DepthwiseFn fn) {
        return [&, fn](std::vector<float>& y) {
            fn(p.in.data(), taps.data(), p.b(), y.data(), c.cin, c.h, c.w, c.cout, c.kh, c.kw, c.sh, c.sw,
               c.ph, c.pw, c.dh, c.dw, c.relu, nullptr);
        };
    };
    std::vector<float> y = one_and_two_threads(runner(&conv2d_f32_depthwise_portable), p);
    p.expect_near(y, 2e-6);
    for (const DwPath& v : vector_depthwise_paths()) {
        if (!kernel_path_supported(v.id)) continue;
        std::vector<float> yv = one_and_two_threads(runner(v.fn), p);
        EXPECT_EQ(0, std::memcmp(y.data(), yv.data(), y.size() * sizeof(float))) << kernel_path_name(v.id);
    }
}
INSTANTIATE_TEST_SUITE_P(
    Shapes, Conv2dF32Depthwise,
    ::testing::Values(Conv{19, 6, 7, 19, 3, 3, 1, 1, 1, 1, 1, 1, 19, true, true},   // tails of 8 / 16
                      Conv{32, 9, 8, 32, 3, 3, 2, 2, 1, 1, 1, 1, 32, false, true},  // stride 2
                      Conv{5, 7, 7, 15, 3, 3, 1, 1, 2, 2, 2, 2, 5, true, false},    // multiplier 3, dilated
                      Conv{8, 4, 5, 16, 5, 3, 1, 2, 2, 1, 1, 1, 8, false, true},    // multiplier 2
                      Conv{17, 3, 3, 17, 5, 5, 1, 1, 0, 0, 1, 1, 17, false, true}));  // 0 x 0 output

class Conv2dF32Grouped : public ::testing::TestWithParam<Conv> {};
TEST_P(Conv2dF32Grouped, MatchesPerGroupReference) {
    const Problem p(GetParam());
    const Conv& c = p.c;
    const int cog = c.cout / c.groups, k = c.kh * c.kw * (c.cin / c.groups);
    std::vector<float> r = reorder(p);
    std::vector<float*> bp(size_t(c.groups));
    for (int g = 0; g < c.groups; ++g) bp[size_t(g)] = pack_f32(r.data() + size_t(g) * cog * k, cog, k);
    std::vector<float> scratch(size_t(grouped_conv_f32_scratch_floats(
        c.cin, c.h, c.w, c.cout, c.groups, c.kh, c.kw, c.sh, c.sw, c.ph, c.pw, c.dh, c.dw)));
    auto run = [&](std::vector<float>& y, float* s) {
        conv2d_f32_grouped(p.in.data(), bp.data(), p.b(), y.data(), c.cin, c.h, c.w, c.cout, c.groups,
                           c.kh, c.kw, c.sh, c.sw, c.ph, c.pw, c.dh, c.dw, c.relu, s, nullptr);
    };
    std::vector<float> y = one_and_two_threads([&](std::vector<float>& o) { run(o, scratch.data()); }, p);
    p.expect_near(y, 2e-6);
    std::vector<float> y_null = one_and_two_threads([&](std::vector<float>& o) { run(o, nullptr); }, p);
    EXPECT_EQ(0, std::memcmp(y.data(), y_null.data(), y.size() * sizeof(float)));
    for (float* b : bp) free_packed_f32(b);
}
INSTANTIATE_TEST_SUITE_P(
    Shapes, Conv2dF32Grouped,
    ::testing::Values(Conv{8, 6, 5, 12, 3, 3, 1, 1, 1, 1, 1, 1, 2, true, true},
                      Conv{12, 7, 7, 8, 3, 3, 2, 2, 1, 1, 1, 1, 4, false, true},
                      Conv{6, 5, 6, 9, 1, 1, 1, 1, 0, 0, 1, 1, 3, false, false},
                      Conv{16, 16, 16, 32, 3, 3, 1, 1, 2, 2, 2, 2, 8, true, true}));

}  // namespace
