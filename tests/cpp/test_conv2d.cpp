// 2-D convolution: the float kernels (im2col, Winograd, depthwise, grouped)
// against a direct double reference, the int8 kernels exactly against int64
// references, every vector path against the portable one, and ConvFp32,
// ConvInt8, GemmFp32 and GemmInt8 built through the factory from node JSON
// with weights fed from a map, including the rejections.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "conv2d_f32_reference.h"
#include "engine/cpu_backend/cpu_backend.h"
#include "engine/executor.h"
#include "kernel_test_paths.h"
#include "kernels/conv/conv2d_f32.h"
#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/conv2d_f32_grouped.h"
#include "kernels/conv/conv2d_f32_wino.h"
#include "kernels/conv/conv2d_s8.h"
#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/conv/conv2d_s8_wino.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/kernel_path.h"
#include "kernels/quantize.h"
#include "layer_test_util.h"
#include "layers/image/conv_fp32.h"
#include "layers/image/conv_int8.h"
#include "layers/image/gemm_fp32.h"
#include "layers/image/gemm_int8.h"
#include "loader/arch_loader.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"
#include "loader/packed_weight_sharing.h"

using namespace vantrel;
using namespace conv_ref;
using namespace vantrel_test;

namespace test_conv2d_f32 {

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

// The im2col, Winograd and grouped kernels with their packed weights and
// scratch, then without (each packs or allocates its own): the same bits,
// near the direct reference, at 1 and 2 threads.
enum class F32Kernel { Im2col, Winograd, Winograd4, WinogradS2, Grouped };
struct F32Case {
    F32Kernel kernel;
    Conv c;
};
void PrintTo(const F32Case& f, std::ostream* os) {
    *os << "kernel " << int(f.kernel) << " ";
    PrintTo(f.c, os);
}
class Conv2dF32 : public ::testing::TestWithParam<F32Case> {};
TEST_P(Conv2dF32, MatchesDirectReference) {
    const Problem p(GetParam().c);
    const Conv& c = p.c;
    std::vector<float*> bp;
    std::vector<float> scratch;
    std::function<void(std::vector<float>&, bool)> run;  // bool: own packing / scratch
    double tol = 2e-6;
    const F32Kernel kernel = GetParam().kernel;
    const bool wino = kernel != F32Kernel::Im2col && kernel != F32Kernel::Grouped;
    const bool f4 = kernel == F32Kernel::Winograd4, s2 = kernel == F32Kernel::WinogradS2;
    const int pos = f4 ? 36 : 16;
    const size_t plane = size_t(c.cout) * c.cin;
    std::vector<float> u;
    if (wino) {
        u.resize(pos * plane);
        float e[36];
        for (size_t oc = 0; oc < plane; ++oc) {
            (f4 ? winograd4_weight_transform_f32
                : s2 ? winograd_s2_weight_transform_f32 : winograd_weight_transform_f32)(p.w.data() + oc * 9, e);
            for (int t = 0; t < pos; ++t) u[t * plane + oc] = e[t];
        }
        for (int t = 0; t < pos; ++t) bp.push_back(pack_f32(u.data() + t * plane, c.cout, c.cin));
        const int32_t m = f4 ? 4 : s2 ? kWinoStride2 : 2;
        scratch.resize(size_t(conv2d_f32_wino_scratch_floats(m, c.cin, c.oh(), c.ow(), c.cout)));
        tol = f4 ? 4e-5 : 1e-5;
        run = [&](std::vector<float>& y, bool own) {
            float* s = own ? nullptr : scratch.data();
            if (f4)
                conv2d_f32_wino4_epi(p.in.data(), bp.data(), p.b(), y.data(), c.cin, c.h, c.w, c.cout, c.ph, c.pw,
                                     c.relu, s, nullptr);
            else if (s2)
                conv2d_f32_wino_s2_epi(p.in.data(), bp.data(), p.b(), y.data(), c.cin, c.h, c.w, c.cout, c.ph, c.pw,
                                       c.relu, s, nullptr);
            else if (c.ph != 1 || c.pw != 1)
                conv2d_f32_wino_epi(p.in.data(), bp.data(), p.b(), y.data(), c.cin, c.h, c.w, c.cout, c.ph, c.pw,
                                    c.relu, s, nullptr);
            else
                k_conv2d_f32_wino(p.in.data(), bp.data(), p.b(), y.data(), c.cin, c.h, c.w, c.cout, c.relu, s,
                                  nullptr, p.w.data());
        };
    } else {
        const int g = GetParam().kernel == F32Kernel::Grouped ? c.groups : 1;
        const int cog = c.cout / g, k = c.kh * c.kw * (c.cin / g);
        const std::vector<float> r = reorder(p);
        for (int j = 0; j < g; ++j) bp.push_back(pack_f32(r.data() + size_t(j) * cog * k, cog, k));
        if (g == 1) {
            scratch.resize(size_t(c.oh()) * c.ow() * c.kh * c.kw * c.cin + 1);
            run = [&](std::vector<float>& y, bool own) {
                k_conv2d_f32(p.in.data(), p.w.data(), p.b(), y.data(), c.cin, c.h, c.w, c.cout, c.kh, c.kw, c.sh,
                             c.sw, c.ph, c.pw, c.relu, own ? nullptr : bp[0], own ? nullptr : scratch.data(), c.dh,
                             c.dw, nullptr);
            };
        } else {
            scratch.resize(size_t(grouped_conv_f32_scratch_floats(c.cin, c.h, c.w, c.cout, c.groups, c.kh, c.kw,
                                                                  c.sh, c.sw, c.ph, c.pw, c.dh, c.dw)));
            run = [&](std::vector<float>& y, bool own) {
                conv2d_f32_grouped(p.in.data(), bp.data(), p.b(), y.data(), c.cin, c.h, c.w, c.cout, c.groups,
                                   c.kh, c.kw, c.sh, c.sw, c.ph, c.pw, c.dh, c.dw, c.relu,
                                   own ? nullptr : scratch.data(), nullptr);
            };
        }
    }
    std::vector<float> y = one_and_two_threads([&](std::vector<float>& o) { run(o, false); }, p);
    p.expect_near(y, tol);
    std::vector<float> y_own = one_and_two_threads([&](std::vector<float>& o) { run(o, true); }, p);
    EXPECT_EQ(0, std::memcmp(y.data(), y_own.data(), y.size() * sizeof(float)));
    for (float* b : bp) free_packed_f32(b);
    // The Winograd transforms are built per instruction set: the same bits
    // on every path (weights packed for each).
    for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
        if (!wino || !kernel_path_supported(path)) continue;
        ScopedKernelPath scope(path);
        bp.clear();
        for (int t = 0; t < pos; ++t) bp.push_back(pack_f32(u.data() + t * plane, c.cout, c.cin));
        std::vector<float> yp = p.fresh();
        run(yp, false);
        EXPECT_EQ(0, std::memcmp(y.data(), yp.data(), y.size() * sizeof(float))) << kernel_path_name(path);
        for (float* b : bp) free_packed_f32(b);
    }
}
constexpr F32Kernel kIm2col = F32Kernel::Im2col, kWino = F32Kernel::Winograd, kWino4 = F32Kernel::Winograd4,
                    kWinoS2 = F32Kernel::WinogradS2, kGrouped = F32Kernel::Grouped;
INSTANTIATE_TEST_SUITE_P(
    Shapes, Conv2dF32,
    ::testing::Values(F32Case{kIm2col, {3, 6, 7, 10, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, true}},  // pad rows of zeros
                      F32Case{kIm2col, {8, 5, 4, 17, 1, 1, 1, 1, 0, 0, 1, 1, 1, true, true}},   // direct 1x1
                      F32Case{kIm2col, {5, 7, 6, 6, 1, 1, 2, 2, 0, 0, 1, 1, 1, false, false}},  // 1x1 stride 2
                      F32Case{kIm2col, {4, 6, 6, 5, 1, 1, 1, 1, 0, 0, 2, 2, 1, false, true}},   // 1x1 dilation 2
                      F32Case{kIm2col, {3, 5, 5, 4, 3, 3, 2, 2, 1, 1, 1, 1, 1, true, true}},    // 5x5 -> 3x3
                      F32Case{kIm2col, {2, 9, 8, 3, 3, 2, 1, 2, 2, 1, 2, 3, 1, false, true}},   // dilated, mixed
                      F32Case{kIm2col, {16, 32, 32, 32, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true}},  // parallel GEMM
                      F32Case{kIm2col, {3, 2, 2, 4, 5, 5, 1, 1, 1, 1, 1, 1, 1, false, true}},   // 0 x 0 output
                      F32Case{kWino, {3, 5, 7, 10, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, true}},    // odd H and W
                      F32Case{kWino, {5, 8, 6, 17, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true}},     // cin, cout not x4
                      F32Case{kWino, {1, 1, 1, 2, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, false}},    // one pixel
                      F32Case{kWino, {12, 9, 1, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, false}},    // one column
                      F32Case{kWino, {16, 20, 18, 24, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true}},
                      F32Case{kWino, {64, 6, 130, 64, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true}},  // 3 bands on 1 thread
                      F32Case{kWino, {6, 9, 8, 5, 3, 3, 1, 1, 0, 0, 1, 1, 1, true, true}},      // unpadded, odd rows
                      F32Case{kWino, {5, 3, 7, 4, 3, 3, 1, 1, 0, 1, 1, 1, 1, false, true}},     // one output row
                      F32Case{kWino, {4, 2, 6, 3, 3, 3, 1, 1, 0, 0, 1, 1, 1, false, true}},     // no output
                      F32Case{kWino4, {3, 9, 7, 10, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, true}},   // tiles overhang
                      F32Case{kWino4, {13, 8, 6, 19, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true}},   // lane tails
                      F32Case{kWino4, {1, 1, 1, 2, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, false}},   // one pixel
                      F32Case{kWino4, {9, 2, 13, 5, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, false}},   // two rows
                      F32Case{kWino4, {64, 14, 14, 36, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true}},  // deep sums
                      F32Case{kWino4, {32, 18, 120, 32, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, true}},  // 5 bands
                      F32Case{kWino4, {11, 13, 12, 9, 3, 3, 1, 1, 0, 0, 1, 1, 1, true, true}},   // unpadded
                      F32Case{kWino4, {20, 10, 9, 18, 3, 3, 1, 1, 1, 0, 1, 1, 1, false, true}},  // pad rows only
                      F32Case{kWinoS2, {5, 9, 10, 7, 3, 3, 2, 2, 1, 1, 1, 1, 1, true, true}},    // odd out rows
                      F32Case{kWinoS2, {20, 16, 16, 24, 3, 3, 2, 2, 1, 1, 1, 1, 1, false, true}},
                      F32Case{kWinoS2, {64, 9, 170, 64, 3, 3, 2, 2, 1, 1, 1, 1, 1, true, true}},  // 3 bands on 1 thread
                      F32Case{kWinoS2, {3, 8, 11, 17, 3, 3, 2, 2, 0, 1, 1, 1, 1, true, false}},  // pad 0, 1
                      F32Case{kWinoS2, {9, 1, 1, 2, 3, 3, 2, 2, 1, 1, 1, 1, 1, false, true}},    // one pixel
                      F32Case{kWinoS2, {4, 2, 5, 3, 3, 3, 2, 2, 0, 0, 1, 1, 1, false, true}},    // no output
                      F32Case{kGrouped, {8, 6, 5, 12, 3, 3, 1, 1, 1, 1, 1, 1, 2, true, true}},
                      F32Case{kGrouped, {12, 7, 7, 8, 3, 3, 2, 2, 1, 1, 1, 1, 4, false, true}},
                      F32Case{kGrouped, {6, 5, 6, 9, 1, 1, 1, 1, 0, 0, 1, 1, 3, false, false}},
                      F32Case{kGrouped, {16, 16, 16, 32, 3, 3, 1, 1, 2, 2, 2, 2, 8, true, true}}));

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
    // The input also starts 1 and 5 floats past a 64-byte boundary: the
    // vector paths pick their first channel vector by the input's alignment.
    std::vector<float> shifted(p.in.size() + 32);
    auto runner = [&](DepthwiseFn fn, int shift) {
        return [&, fn, shift](std::vector<float>& y) {
            const float* in = p.in.data();
            if (shift >= 0) {
                float* at = shifted.data() + (64 - reinterpret_cast<uintptr_t>(shifted.data()) % 64) / 4 + shift;
                std::copy(p.in.begin(), p.in.end(), at);
                in = at;
            }
            fn(in, taps.data(), p.b(), y.data(), c.cin, c.h, c.w, c.cout, c.kh, c.kw, c.sh, c.sw, c.ph, c.pw, c.dh,
               c.dw, c.relu, nullptr);
        };
    };
    std::vector<float> y = one_and_two_threads(runner(&conv2d_f32_depthwise_portable, -1), p);
    p.expect_near(y, 2e-6);
    for (const DwPath& v : vector_depthwise_paths()) {
        if (!kernel_path_supported(v.id)) continue;
        for (int shift : {-1, 1, 5}) {
            std::vector<float> yv = one_and_two_threads(runner(v.fn, shift), p);
            EXPECT_EQ(0, std::memcmp(y.data(), yv.data(), y.size() * sizeof(float)))
                << kernel_path_name(v.id) << " shift " << shift;
        }
    }
}
INSTANTIATE_TEST_SUITE_P(
    Shapes, Conv2dF32Depthwise,
    ::testing::Values(Conv{19, 6, 7, 19, 3, 3, 1, 1, 1, 1, 1, 1, 19, true, true},   // tails of 8 / 16
                      Conv{32, 9, 20, 32, 3, 3, 2, 2, 1, 1, 1, 1, 32, false, true},  // stride 2, row pairs
                      Conv{5, 7, 7, 15, 3, 3, 1, 1, 2, 2, 2, 2, 5, true, false},    // multiplier 3, dilated
                      Conv{8, 4, 5, 16, 5, 3, 1, 2, 2, 1, 1, 1, 8, false, true},    // multiplier 2
                      Conv{17, 3, 3, 17, 5, 5, 1, 1, 0, 0, 1, 1, 17, false, true},  // 0 x 0 output
                      Conv{20, 3, 41, 20, 3, 3, 1, 1, 1, 1, 1, 1, 20, true, true},  // long rows: 8-, 4-, 1-pixel runs
                      Conv{24, 9, 44, 24, 5, 5, 2, 2, 2, 2, 1, 1, 24, false, false},  // 5x5 stride 2 runs, a row pair
                      Conv{6, 4, 5, 6, 3, 3, 1, 1, 3, 3, 1, 1, 6, true, true},   // corners read no tap
                      Conv{64, 4, 41, 64, 3, 3, 1, 1, 1, 1, 1, 1, 64, true, true},  // channel groups
                      Conv{17, 6, 19, 17, 5, 5, 1, 1, 2, 2, 1, 1, 17, false, true},  // 5x5 edge blocks, a row pair
                      Conv{8, 6, 5, 8, 3, 3, 1, 1, 0, 0, 1, 1, 8, true, true}));     // row pairs of 3 pixels

// The direct grouped kernel: the portable path near the reference, every
// vector path (vectors of whole groups, of one group or of two, 16-lane,
// 8-lane and per-channel blocks alike) the same bits, at 1 and 2 threads.
using GroupedFn = void (*)(VANTREL_GROUPED_F32_ARGS);
class Conv2dF32GroupedDirect : public ::testing::TestWithParam<Conv> {};
TEST_P(Conv2dF32GroupedDirect, PortableMatchesReferenceAndVectorPathsMatchPortable) {
    const Problem p(GetParam());
    const Conv& c = p.c;
    std::vector<float> taps(p.w.size());
    grouped_weights_tap_major_f32(p.w.data(), taps.data(), c.cin, c.cout, c.groups, c.kh, c.kw);
    std::vector<float> y;
#if defined(__x86_64__)
    const auto paths = runnable_paths<GroupedFn>(&conv2d_f32_grouped_direct_portable, &conv2d_f32_grouped_direct_avx2,
                                                 &conv2d_f32_grouped_direct_avx512, nullptr);
#elif defined(__aarch64__)
    const auto paths = runnable_paths<GroupedFn>(&conv2d_f32_grouped_direct_portable, nullptr, nullptr,
                                                 &conv2d_f32_grouped_direct_neon);
#else
    const auto paths = runnable_paths<GroupedFn>(&conv2d_f32_grouped_direct_portable, nullptr, nullptr, nullptr);
#endif
    for (const auto& [name, fn] : paths) {
        const GroupedFn f = fn;
        std::vector<float> yv = one_and_two_threads(
            [&](std::vector<float>& o) {
                f(p.in.data(), taps.data(), p.b(), o.data(), c.cin, c.h, c.w, c.cout, c.groups, c.kh, c.kw, c.sh,
                  c.sw, c.ph, c.pw, c.dh, c.dw, c.relu);
            },
            p);
        if (y.empty()) {
            p.expect_near(yv, 2e-6);
            y = yv;
        }
        EXPECT_EQ(0, std::memcmp(y.data(), yv.data(), y.size() * sizeof(float))) << name;
    }
}
INSTANTIATE_TEST_SUITE_P(
    Shapes, Conv2dF32GroupedDirect,
    ::testing::Values(Conv{16, 7, 15, 16, 3, 3, 1, 1, 1, 1, 1, 1, 4, true, true},   // 4 per group: 8-, 4-, 1-pixel runs
                      Conv{32, 9, 21, 32, 3, 3, 2, 2, 1, 1, 1, 1, 4, false, true},  // 8 per group, stride 2
                      Conv{20, 6, 13, 20, 3, 3, 1, 1, 1, 1, 1, 1, 10, true, false}, // 2 per group, channel tail
                      Conv{48, 5, 19, 48, 3, 3, 1, 1, 1, 1, 1, 1, 2, true, true},   // 24 per group
                      Conv{64, 6, 11, 64, 3, 3, 2, 2, 1, 1, 1, 1, 2, false, true},  // 32 per group
                      Conv{12, 8, 10, 24, 3, 3, 1, 1, 2, 2, 2, 2, 3, true, true},   // 4 in, 8 out, dilated
                      Conv{24, 6, 9, 40, 3, 3, 1, 1, 1, 1, 1, 1, 4, false, true},   // 6 in, 10 out: 2-3 groups a vector
                      Conv{32, 4, 5, 32, 5, 5, 1, 1, 2, 2, 1, 1, 2, false, true},   // mostly border pixels, 25 taps
                      Conv{32, 5, 6, 32, 1, 1, 1, 1, 0, 0, 1, 1, 8, true, true},    // 1x1
                      Conv{8, 3, 1400, 8, 5, 5, 1, 1, 2, 2, 1, 1, 2, true, true},   // a tap table per row
                      Conv{8, 3, 3, 8, 5, 5, 1, 1, 0, 0, 1, 1, 2, false, true}));   // 0 x 0 output

}  // namespace

}  // namespace test_conv2d_f32

namespace test_conv_fp32_layer {

namespace {

std::unique_ptr<ILayer> make(const std::string& json, bool relu = false) { return make_layer(json, "c1", relu); }
std::string conv_json(const Conv& c) {
    auto kv = [](const char* k, int v) { return std::string(",\"") + k + "\":" + std::to_string(v); };
    return std::string(R"({"op":"conv_fp32")") + kv("C_out", c.cout) + kv("C_in", c.cin) + kv("kH", c.kh) +
           kv("kW", c.kw) + kv("stride_h", c.sh) + kv("stride_w", c.sw) + kv("pad_h", c.ph) +
           kv("pad_w", c.pw) + kv("groups", c.groups) + kv("dilation_h", c.dh) + kv("dilation_w", c.dw) + "}";
}
// Runs forward; scratch area 2 is exactly the planned size, or absent.
Shape3 run(ILayer& l, TensorView in, std::vector<float>& y, bool with_scratch) {
    ScratchRequest req;
    l.plan_scratch(in.shape(), req);
    std::vector<uint8_t> s2(with_scratch ? req.bytes[2] : 0);
    ExecContext ctx;
    ctx.scratch[2] = BufferView{s2.empty() ? nullptr : s2.data(), 0, s2.size()};
    BufferView out{y.data(), 0, y.size() * 4};
    return l.forward(&in, 1, &out, &ctx);
}

struct LayerCase {
    Conv c;
    int winograd;  // the Winograd weights prepared: 0 (none), 2 or 4 (F(m x m, 3x3)), -2 (stride 2)
};
void PrintTo(const LayerCase& lc, std::ostream* os) { PrintTo(lc.c, os); }

class ConvFp32Layer : public ::testing::TestWithParam<LayerCase> {};
TEST_P(ConvFp32Layer, EveryPathMatchesReference) {
    const Problem p(GetParam().c);
    const Conv& c = p.c;
    ByteTensors t = {{"c1.weight", bytes_of(p.w)}};
    if (c.bias) t["c1.bias"] = bytes_of(p.bias);
    auto l = make(conv_json(c), c.relu);
    l->load_weights(fetch_bytes(t, 4));
    EXPECT_EQ(dynamic_cast<ConvFp32&>(*l).winograd_ready, GetParam().winograd == 2);
    EXPECT_EQ(dynamic_cast<ConvFp32&>(*l).winograd4_ready, GetParam().winograd == 4);
    EXPECT_EQ(dynamic_cast<ConvFp32&>(*l).winograd_s2_ready, GetParam().winograd == -2);
    const Shape3 want{c.cout, c.oh(), c.ow()};
    EXPECT_EQ(l->output_shape({c.cin, c.h, c.w}), want);
    std::vector<float> in = p.in;
    TensorView v{in.data(), 0, in.size() * 4, c.cin, c.h, c.w};
    std::vector<float> y = p.fresh(), y_own = p.fresh();
    EXPECT_EQ(run(*l, v, y, true), want);
    p.expect_near(y, 1e-5);
    run(*l, v, y_own, false);
    EXPECT_EQ(0, std::memcmp(y.data(), y_own.data(), y.size() * 4)) << "planned vs own scratch";
}
INSTANTIATE_TEST_SUITE_P(
    Paths, ConvFp32Layer,
    ::testing::Values(LayerCase{{4, 5, 7, 6, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true}, 2},
                      LayerCase{{36, 9, 11, 40, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true}, 4},
                      LayerCase{{40, 6, 9, 32, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, true}, 4},  // 6 rows: GEMM
                      LayerCase{{160, 3, 5, 220, 3, 3, 1, 1, 1, 1, 1, 1, 1, true, true}, 2},  // many channels
                      LayerCase{{4, 5, 7, 6, 3, 3, 1, 1, 0, 0, 1, 1, 1, false, true}, 2},  // unpadded
                      LayerCase{{32, 11, 9, 24, 3, 3, 1, 1, 0, 0, 1, 1, 1, true, true}, 4},
                      LayerCase{{32, 8, 9, 24, 3, 3, 1, 1, 0, 0, 1, 1, 1, true, true}, 4},  // 6 rows out: GEMM
                      LayerCase{{4, 5, 7, 6, 3, 3, 1, 1, 2, 2, 1, 1, 1, false, true}, 0},  // pad 2
                      LayerCase{{3, 5, 5, 4, 3, 3, 2, 2, 1, 1, 1, 1, 1, true, false}, 0},  // -> 3x3
                      LayerCase{{256, 27, 28, 256, 3, 3, 2, 2, 1, 1, 1, 1, 1, true, true}, -2},  // -> 14x14
                      LayerCase{{256, 13, 12, 256, 3, 3, 2, 2, 0, 0, 1, 1, 1, false, true}, -2},  // 6x5: GEMM
                      LayerCase{{4, 7, 6, 5, 3, 3, 1, 1, 1, 1, 2, 2, 1, false, true}, 0},
                      LayerCase{{6, 4, 5, 9, 1, 1, 1, 1, 0, 0, 1, 1, 1, true, true}, 0},  // direct
                      LayerCase{{8, 6, 5, 6, 3, 3, 1, 1, 1, 1, 1, 1, 2, false, true}, 0},  // grouped
                      LayerCase{{16, 9, 10, 16, 3, 3, 2, 2, 1, 1, 1, 1, 4, true, true}, 0},  // grouped direct
                      LayerCase{{12, 6, 6, 12, 3, 3, 2, 2, 1, 1, 1, 1, 12, true, true}, 0},  // depthwise
                      LayerCase{{5, 5, 4, 10, 3, 3, 1, 1, 1, 1, 1, 1, 5, false, false}, 0},  // x2
                      LayerCase{{3, 1, 6, 2, 3, 3, 1, 1, 0, 0, 1, 1, 1, false, true}, 2}));  // 0 rows

// One-hot 1x1 weights without bias only pick channels: the layer copies
// them, so inf and NaN arrive unchanged and leave the other channels alone
// (0 * inf would make every output of the pixel NaN); a bias makes it a
// product again.
TEST(ConvFp32Layer, OneHotWeightsPickChannels) {
    const Conv c{7, 120, 120, 5, 1, 1, 1, 1, 0, 0, 1, 1, 1, false, false};  // large enough to split
    const int pick[5] = {4, 5, 6, 0, 0};
    std::vector<float> w(size_t(c.cout * c.cin), 0.0f), x(size_t(c.h * c.w * c.cin));
    for (int o = 0; o < c.cout; ++o) w[size_t(o * c.cin + pick[o])] = 1.0f;
    for (size_t i = 0; i < x.size(); ++i) x[i] = float(i % 11) - 4.5f;
    x[5] = std::numeric_limits<float>::infinity();
    x[6] = std::numeric_limits<float>::quiet_NaN();  // pixel 0 only
    for (float b : {0.0f, 0.5f}) {
        ByteTensors t = {{"c1.weight", bytes_of(w)}};
        if (b != 0.0f) t["c1.bias"] = bytes_of(std::vector<float>(size_t(c.cout), b));
        auto l = make(conv_json(c));
        l->load_weights(fetch_bytes(t, 4));
        EXPECT_EQ(dynamic_cast<ConvFp32&>(*l).channel_pick.empty(), b != 0.0f);
        TensorView v{x.data(), 0, x.size() * 4, c.cin, c.h, c.w};
        std::vector<float> y(size_t(c.h * c.w * c.cout), -1.0f);
        run(*l, v, y, true);
        for (int p = 0; p < c.h * c.w; ++p)
            for (int o = 0; o < c.cout; ++o) {
                const float want = x[size_t(p * c.cin + pick[o])];
                if (b == 0.0f) {
                    EXPECT_EQ(0, std::memcmp(&want, &y[size_t(p * c.cout + o)], 4)) << p << " " << o;
                } else if (p > 0) {  // the product turns pixel 0 into NaN
                    EXPECT_NEAR(want + b, y[size_t(p * c.cout + o)], 1e-6) << p << " " << o;
                }
            }
    }
}

TEST(ConvFp32Layer, SameKeySharesOnePackedBlock) {
    const Problem p(Conv{3, 4, 4, 5, 3, 3, 1, 1, 1, 1, 1, 1, 1, false, false});
    ByteTensors t = {{"c1.weight", bytes_of(p.w)}};
    clear_packed_weight_registry();
    auto a = make(conv_json(p.c)), b = make(conv_json(p.c));
    a->load_weights(fetch_bytes(t, 4));
    b->load_weights(fetch_bytes(t, 4));
    clear_packed_weight_registry();
    auto& ca = dynamic_cast<ConvFp32&>(*a);
    auto& cb = dynamic_cast<ConvFp32&>(*b);
    EXPECT_EQ(ca.packed.data, cb.packed.data);
    EXPECT_EQ(ca.winograd_u[7].data, cb.winograd_u[7].data);
}

// VANTREL_FP32_WINOGRAD picks the weights a 3x3 layer prepares (f2 and f4
// the stride-2 form's at stride 2, whatever the channels); anything but f2,
// f4, off or auto is refused by name.
TEST(ConvFp32Layer, WinogradOverride) {
    for (int stride : {1, 2}) {
        const Problem p(Conv{32, 4, 4, 32, 3, 3, stride, stride, 1, 1, 1, 1, 1, false, false});
        ByteTensors t = {{"c1.weight", bytes_of(p.w)}};
        for (const char* v : {"f2", "f4", "off", "f3"}) {
            setenv("VANTREL_FP32_WINOGRAD", v, 1);
            auto l = make(conv_json(p.c));
            std::string what;
            try {
                l->load_weights(fetch_bytes(t, 4));
            } catch (const std::runtime_error& e) {
                what = e.what();
            }
            unsetenv("VANTREL_FP32_WINOGRAD");
            const auto& c = dynamic_cast<ConvFp32&>(*l);
            EXPECT_EQ(c.winograd_ready, stride == 1 && v[1] == '2') << v;
            EXPECT_EQ(c.winograd4_ready, stride == 1 && v[1] == '4') << v;
            EXPECT_EQ(c.winograd_s2_ready, stride == 2 && (v[1] == '2' || v[1] == '4')) << v;
            EXPECT_EQ(what.empty(), v[1] != '3') << what;
            if (v[1] == '3') {
                EXPECT_NE(what.find("must be f2, f4, off or auto, got 'f3'"), std::string::npos) << what;
            }
        }
    }
}

class GemmFp32Layer : public ::testing::TestWithParam<std::pair<bool, bool>> {};
TEST_P(GemmFp32Layer, ReluAfterBias) {
    const auto [relu, with_bias] = GetParam();
    const int cin = 37, cout = 21;
    std::vector<float> x = randoms(cin, 1), w = randoms(size_t(cin) * cout, 2), bias = randoms(cout, 3);
    ByteTensors t = {{"c1.weight", bytes_of(w)}};
    if (with_bias) t["c1.bias"] = bytes_of(bias);
    auto l = make(R"({"op":"gemm_fp32","C_out":21,"C_in":37})", relu);
    l->load_weights(fetch_bytes(t, 4));
    std::vector<float> y(cout);
    EXPECT_EQ(run(*l, TensorView{x.data(), 0, x.size() * 4, cin, 1, 1}, y, false), (Shape3{cout, 1, 1}));
    for (int o = 0; o < cout; ++o) {
        double s = with_bias ? bias[o] : 0.0, a = std::fabs(s);
        for (int k = 0; k < cin; ++k) {
            s += double(w[size_t(o) * cin + k]) * x[k];
            a += std::fabs(double(w[size_t(o) * cin + k]) * x[k]);
        }
        EXPECT_NEAR(y[o], relu && s < 0 ? 0.0 : s, 2e-6 * (a + 1e-3)) << o;
    }
}
INSTANTIATE_TEST_SUITE_P(Flags, GemmFp32Layer,
                         ::testing::Values(std::pair{false, false}, std::pair{true, false},
                                           std::pair{false, true}, std::pair{true, true}));

// Where a bad node, bad weights or a bad input must be refused, and with
// which words in the message.
struct Reject {
    const char* json;
    int weight_floats;  // -1: absent
    int bias_floats;    // -1: absent
    int extra_bytes;    // appended to the weight bytes
    int in_c;
    const char* message;
};
class LayerRejects : public ::testing::TestWithParam<Reject> {};
TEST_P(LayerRejects, WithAClearMessage) {
    const Reject& r = GetParam();
    std::string what;
    try {
        auto l = make(r.json);
        ByteTensors t;
        if (r.weight_floats >= 0) {
            t["c1.weight"] = bytes_of(std::vector<float>(size_t(r.weight_floats), 0.5f));
            t["c1.weight"].resize(t["c1.weight"].size() + size_t(r.extra_bytes));
        }
        if (r.bias_floats >= 0) t["c1.bias"] = bytes_of(std::vector<float>(size_t(r.bias_floats), 1.0f));
        l->load_weights(fetch_bytes(t, 4));
        std::vector<float> in(size_t(r.in_c) * 16, 1.0f), y(4096);
        run(*l, TensorView{in.data(), 0, in.size() * 4, r.in_c, 4, 4}, y, true);
    } catch (const std::runtime_error& e) {
        what = e.what();
    }
    EXPECT_NE(what.find("'c1'"), std::string::npos) << what;
    EXPECT_NE(what.find(r.message), std::string::npos) << what;
}
constexpr const char* kConv = R"({"op":"conv_fp32","C_out":4,"C_in":2,"kH":3,"kW":3})";
constexpr const char* kGemm = R"({"op":"gemm_fp32","C_out":3,"C_in":32})";
INSTANTIATE_TEST_SUITE_P(
    Cases, LayerRejects,
    ::testing::Values(Reject{kConv, 71, -1, 0, 2, "'c1.weight' holds 71 floats, expected 72"},
                      Reject{kConv, -1, -1, 0, 2, "'c1.weight' is missing"},
                      Reject{kConv, 72, -1, 2, 2, "'c1.weight' has 290 bytes"},
                      Reject{kConv, 72, 3, 0, 2, "'c1.bias' holds 3 floats, expected 4"},
                      Reject{kConv, 72, 4, 0, 3, "input has 3 channels"},
                      Reject{R"({"op":"conv_fp32","C_out":4,"C_in":6,"groups":4})", 0, -1, 0, 6, "'groups'"},
                      Reject{R"({"op":"conv_fp32","C_out":6,"C_in":4,"groups":4})", 0, -1, 0, 4, "'groups'"},
                      Reject{R"({"op":"conv_fp32","C_out":4,"C_in":2,"pad_h":-1})", 8, -1, 0, 2, "'pad_h'"},
                      Reject{R"({"op":"conv_fp32","C_out":4,"C_in":2,"dilation_h":0})", 8, -1, 0, 2, "'dilation_h'"},
                      Reject{R"({"op":"conv_fp32","C_in":2})", 8, -1, 0, 2, "'C_out'"},
                      Reject{kGemm, 95, -1, 0, 2, "'c1.weight' holds 95 floats, expected 96"},
                      Reject{kGemm, 96, 32, 0, 2, "'c1.bias' holds 32 floats, expected 3"},
                      Reject{kGemm, 96, -1, 0, 3, "input has 48 elements, expected C_in = 32"},
                      Reject{R"({"op":"gemm_fp32","C_out":3})", 0, -1, 0, 2, "'C_in'"}));

TEST(ConvFp32Layer, RefusesAnOutputBufferTooSmall) {
    auto l = make(R"({"op":"conv_fp32","C_out":4,"C_in":2,"kH":3,"kW":3,"pad_h":1,"pad_w":1})");
    ByteTensors t = {{"c1.weight", bytes_of(std::vector<float>(72, 0.5f))}};
    l->load_weights(fetch_bytes(t, 4));
    std::vector<float> in(2 * 16, 1.0f), y(4 * 16 - 1);
    EXPECT_THROW(run(*l, TensorView{in.data(), 0, in.size() * 4, 2, 4, 4}, y, true), std::runtime_error);
}

}  // namespace

}  // namespace test_conv_fp32_layer

namespace test_conv2d {

namespace {

using Rec = Raw;
using Tensors = RawTensors;
std::vector<int8_t> codes(size_t n, int lo, int hi, uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> u(lo, hi);
    std::vector<int8_t> v(n);
    for (int8_t& x : v) x = int8_t(u(g));
    return v;
}
int32_t low32(int64_t v) { return int32_t(uint32_t(uint64_t(v))); }

int ext(int in, int k, int s, int p) { return in + 2 * p - k < 0 ? 0 : (in + 2 * p - k) / s + 1; }
struct Conv {
    int cin, h, w, cout, kh, kw, sh, sw, ph, pw, groups, in_zp, out_zp;
    int oh() const { return ext(h, kh, sh, ph); }
    int ow() const { return ext(w, kw, sw, pw); }
};
void PrintTo(const Conv& c, std::ostream* os) {
    *os << c.cin << "x" << c.h << "x" << c.w << "->" << c.cout << " k" << c.kh << "x" << c.kw << " s" << c.sh
        << "," << c.sw << " p" << c.ph << "," << c.pw << " g" << c.groups;
}

// One case's data: weights, scales (the last channel's is 0), their
// multipliers and shifts (a test may change these) and biases.
struct Problem {
    Conv c;
    int k;
    std::vector<int8_t> in, w;
    std::vector<float> scale;
    std::vector<int32_t> mult, shift;
    std::vector<int64_t> bias;
    explicit Problem(const Conv& cv) : c(cv), k(cv.cin / cv.groups * cv.kh * cv.kw) {
        in = codes(size_t(c.h) * c.w * c.cin, -128, 127, 7u + c.cin + c.h);
        w = codes(size_t(c.cout) * k, -30, 30, 3u + c.cout);
        for (int o = 0; o < c.cout; ++o) {
            scale.push_back(o == c.cout - 1 ? 0.0f : 0.03f / std::sqrt(float(k)) * (1.0f + 0.02f * float(o)));
            bias.push_back(int64_t(o % 5 - 2) * 1500);
            const QuantMultiplier q = quantize_multiplier(scale.back());
            mult.push_back(q.multiplier);
            shift.push_back(q.shift);
        }
    }
    size_t out_size() const { return size_t(c.oh()) * c.ow() * c.cout; }
    Tensors tensors() const {
        Rec wr = raw(w);
        wr.shape = {c.cout, c.cin / c.groups, c.kh, c.kw};
        return {{"c1.weight", wr}, {"c1.req_scale", raw(scale)}, {"c1.eff_bias", raw(bias)}};
    }
    int8_t epilogue(int64_t acc, int64_t b, int o) const {
        return requantize(low32(acc), low32(b), mult[size_t(o)], shift[size_t(o)], int8_t(c.out_zp));
    }
    // Direct convolution in int64, padding reading in_zp.
    std::vector<int8_t> direct() const {
        const int cig = c.cin / c.groups, cog = c.cout / c.groups, oh = ext(c.h, c.kh, c.sh, c.ph), ow = ext(c.w, c.kw, c.sw, c.pw);
        std::vector<int8_t> y;
        for (int oy = 0; oy < oh; ++oy)
            for (int ox = 0; ox < ow; ++ox)
                for (int o = 0; o < c.cout; ++o) {
                    int64_t acc = 0;
                    for (int ci = 0; ci < cig; ++ci)
                        for (int ky = 0; ky < c.kh; ++ky)
                            for (int kx = 0; kx < c.kw; ++kx) {
                                const int iy = oy * c.sh - c.ph + ky, ix = ox * c.sw - c.pw + kx;
                                const bool inside = iy >= 0 && iy < c.h && ix >= 0 && ix < c.w;
                                const int v = inside ? in[(size_t(iy) * c.w + ix) * c.cin + (o / cog) * cig + ci] : c.in_zp;
                                acc += int64_t(v) * w[((size_t(o) * cig + ci) * c.kh + ky) * c.kw + kx];
                            }
                    y.push_back(epilogue(acc, bias[o], o));
                }
        return y;
    }
};

using Bytes = std::vector<int8_t>;

// Runs fn at 1, 2 and 3 threads into fresh buffers (sentinel-filled, one
// guard byte); all three must agree, guard untouched.
Bytes at_thread_counts(size_t n, const std::function<void(int8_t*)>& fn) {
    const int saved = omp_get_max_threads();
    Bytes first;
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        Bytes y(n + 1, int8_t(0x5a));
        fn(y.data());
        EXPECT_EQ(y[n], int8_t(0x5a)) << "wrote past the output at " << threads << " threads";
        y.pop_back();
        if (first.empty() && threads == 1) first = y;
        else EXPECT_EQ(first, y) << threads << " threads vs 1";
    }
    omp_set_num_threads(saved);
    return first;
}

Bytes reordered(const Problem& p) {
    const int cig = p.c.cin / p.c.groups, taps = p.c.kh * p.c.kw;
    Bytes r(p.w.size());
    for (int o = 0; o < p.c.cout; ++o)
        for (int ci = 0; ci < cig; ++ci)
            for (int t = 0; t < taps; ++t) r[(size_t(o) * taps + t) * cig + ci] = p.w[(size_t(o) * cig + ci) * taps + t];
    return r;
}

class Conv2dS8 : public ::testing::TestWithParam<Conv> {};
TEST_P(Conv2dS8, MatchesDirectReference) {
    const Problem p(GetParam());
    const Conv& c = p.c;
    const Bytes want = p.direct();
    std::vector<int64_t> eff_bias = p.bias;  // bits above the low word must not count
    for (int o = 0; o < c.cout; ++o) eff_bias[size_t(o)] += int64_t(o % 3 - 1) * (int64_t(1) << 33);
    const int k = c.kh * c.kw * c.cin / c.groups;
    int8_t* bp = c.groups == 1 ? pack_s8(reordered(p).data(), c.cout, k) : nullptr;
    Bytes scratch(size_t(c.oh()) * c.ow() * k + 1);
    for (bool dense : {true, false}) {
        if (c.groups == 1 && !dense) continue;
        auto run = [&](const int8_t* packed, int8_t* s) {
            return at_thread_counts(p.out_size(), [&](int8_t* y) {
                k_conv2d_s8(p.in.data(), p.w.data(), packed, eff_bias.data(), p.mult.data(), p.shift.data(),
                            int8_t(c.in_zp), int8_t(c.out_zp), y, c.cin, c.h, c.w, c.cout, c.kh, c.kw, c.sh, c.sw,
                            c.ph, c.pw, c.groups, s, dense, nullptr, nullptr);
            });
        };
        EXPECT_EQ(run(bp, scratch.data()), want) << "dense=" << dense;
        // No packed block: packs the file-order weights itself.
        EXPECT_EQ(run(nullptr, nullptr), want) << "dense=" << dense << ", unpacked";
    }
    free_packed_s8(bp);
}
INSTANTIATE_TEST_SUITE_P(
    Shapes, Conv2dS8,
    ::testing::Values(Conv{8, 5, 6, 12, 1, 1, 1, 1, 0, 0, 1, 4, -3},    // direct 1x1
                      Conv{5, 7, 6, 9, 1, 1, 2, 2, 0, 0, 1, -2, -3},    // 1x1 stride 2: im2col
                      Conv{6, 6, 7, 10, 3, 3, 1, 1, 1, 1, 1, 5, -3},    // borders are in_zp = 5
                      Conv{3, 11, 10, 8, 7, 7, 2, 2, 3, 3, 1, -9, -3},  // 7x7 stride 2 pad 3
                      Conv{4, 7, 9, 6, 3, 2, 1, 2, 2, 0, 1, 11, -3},    // non-square kernel and stride
                      Conv{19, 12, 13, 21, 3, 3, 1, 1, 1, 1, 1, 1, -3}, // several GEMM blocks
                      // Many pixels, few channels: im2col and GEMM per strip of
                      // pixels, strips not on output-row boundaries.
                      Conv{5, 23, 21, 12, 3, 3, 1, 1, 1, 1, 1, 2, -3},
                      Conv{3, 40, 38, 8, 7, 7, 2, 2, 3, 3, 1, -9, -3},
                      Conv{4, 2, 3, 5, 5, 1, 1, 1, 0, 0, 1, 0, -3},     // kernel taller than input
                      Conv{6, 5, 6, 4, 3, 3, 1, 1, 1, 1, 2, 7, -3},     // groups 2
                      Conv{8, 6, 5, 12, 1, 1, 1, 1, 0, 0, 4, -1, -3},   // groups 4, 1x1
                      Conv{8, 7, 7, 8, 3, 3, 2, 2, 1, 1, 4, 3, -3},     // groups 4, stride 2
                      Conv{20, 7, 5, 20, 3, 3, 2, 2, 1, 1, 20, 6, -3},  // depthwise, file-order weights
                      Conv{9, 7, 6, 9, 3, 3, 1, 1, 0, 0, 9, -4, -3}));  // depthwise shape, pad 0: per group

// Depthwise 3x3 kernels through the layer's entry (tap-major weights, 32-bit
// biases): every path against the reference, including requantisation
// parameters at the edges of the vector lanes' ranges.
struct Dw {
    int c, h, w, stride;
};
class DepthwiseS8 : public ::testing::TestWithParam<Dw> {};
TEST_P(DepthwiseS8, EveryPathMatchesReference) {
    const Dw d = GetParam();
    Problem p(Conv{d.c, d.h, d.w, d.c, 3, 3, d.stride, d.stride, 1, 1, d.c, 9, -3});
    // Channel 0: x = m = INT32_MIN (zero weights, bias INT32_MIN) saturates;
    // then shifts beyond +-32 and shifts whose low byte is small.
    for (int t = 0; t < 9; ++t) p.w[size_t(t)] = 0;
    p.bias[0] = INT32_MIN;
    p.mult[0] = INT32_MIN;
    const int32_t shifts[] = {0, 40, -40, 300, -300, 3, -31, -32, 256};
    for (int ch = 1; ch < 9 && ch < d.c; ++ch) p.shift[size_t(ch)] = shifts[ch];
    const Bytes want = p.direct();
    Bytes taps(size_t(d.c) * 9);
    depthwise3x3_weights_tap_major_s8(p.w.data(), taps.data(), d.c);
    std::vector<int32_t> bias32(p.bias.begin(), p.bias.end());
    using Fn = void (*)(VANTREL_DEPTHWISE3X3_S8_ARGS);
    for (auto& v : vantrel_test::runnable_paths(VANTREL_KERNEL_VARIANTS(Fn, conv2d_s8_depthwise3x3))) {
        Bytes y = at_thread_counts(p.out_size(), [&](int8_t* o) {
            v.second(p.in.data(), taps.data(), bias32.data(), p.mult.data(), p.shift.data(), 9, int8_t(p.c.out_zp), o,
                     d.c, d.h, d.w, d.stride);
        });
        EXPECT_EQ(y, want) << v.first;
    }
    // The rows entry on a band: output rows [oy0, oy1) from the input rows
    // they read, no more.
    const int oh = (d.h - 1) / d.stride + 1, ow = (d.w - 1) / d.stride + 1;
    const int64_t oy0 = oh / 3, oy1 = std::max<int64_t>(oy0 + 1, oh - 1);
    const int64_t lo = std::max<int64_t>(0, oy0 * d.stride - 1), hi = std::min<int64_t>(d.h, (oy1 - 1) * d.stride + 2);
    const int64_t row = int64_t(d.w) * d.c, orow = int64_t(ow) * d.c;
    const Bytes band(p.in.begin() + lo * row, p.in.begin() + hi * row);
    const Bytes want_rows(want.begin() + oy0 * orow, want.begin() + oy1 * orow);
    using RowsFn = void (*)(VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS);
    for (auto& v : vantrel_test::runnable_paths(VANTREL_KERNEL_VARIANTS(RowsFn, conv2d_s8_depthwise3x3_rows))) {
        Bytes y(want_rows.size());
        v.second(band.data(), lo, taps.data(), bias32.data(), p.mult.data(), p.shift.data(), 9, int8_t(p.c.out_zp),
                 y.data(), d.c, d.h, d.w, d.stride, oy0, oy1);
        EXPECT_EQ(y, want_rows) << v.first << " rows";
    }
    // Through the layer's one-time layout of the weights (the AVX-512 path
    // keeps one; elsewhere it is null and the plain rows entry runs).
    const DepthwiseS8LayoutPtr laid = depthwise3x3_layout_s8(taps.data(), bias32.data(), p.mult.data(),
                                                             p.shift.data(), int8_t(p.c.out_zp), d.c);
    Bytes y(want_rows.size());
    conv2d_s8_depthwise3x3_rows_laid_out(laid.get(), band.data(), lo, taps.data(), bias32.data(), p.mult.data(),
                                         p.shift.data(), 9, int8_t(p.c.out_zp), y.data(), d.c, d.h, d.w, d.stride, oy0,
                                         oy1);
    EXPECT_EQ(y, want_rows) << "laid out";
}
INSTANTIATE_TEST_SUITE_P(Shapes, DepthwiseS8,
                         ::testing::Values(Dw{35, 7, 9, 1}, Dw{35, 7, 9, 2}, Dw{48, 9, 6, 2},
                                           Dw{16, 5, 5, 1}, Dw{9, 1, 2, 2},
                                           Dw{80, 6, 5, 2},     // channels 32..63 all ordinary
                                           Dw{144, 5, 4, 1},    // steps of 64 and a partial one
                                           Dw{64, 4, 3, 2},     // one whole step
                                           Dw{32, 12, 11, 1},   // two pixels a step
                                           Dw{16, 9, 15, 1},    // four pixels a step, the last group short
                                           Dw{80, 12, 13, 1},   // a 16-channel tail, four pixels a step
                                           Dw{96, 23, 21, 2})); // a 32-channel tail, two pixels a step

std::unique_ptr<ILayer> make(const std::string& json, bool relu = false) { return make_layer(json, "c1", relu); }
std::string conv_json(const Conv& c) {
    auto kv = [](const char* k, int v) { return std::string(",\"") + k + "\":" + std::to_string(v); };
    return std::string(R"({"op":"conv")") + kv("C_out", c.cout) + kv("C_in", c.cin) + kv("kH", c.kh) + kv("kW", c.kw) +
           kv("stride_h", c.sh) + kv("stride_w", c.sw) + kv("pad_h", c.ph) + kv("pad_w", c.pw) +
           kv("groups", c.groups) + kv("in_zp", c.in_zp) + kv("out_zp", c.out_zp) + "}";
}
// Runs forward with the planned scratch (or none) into `want` bytes plus 16
// guard bytes that must stay untouched.
std::vector<int8_t> run(ILayer& l, const Conv& c, std::vector<int8_t>& in, size_t want, bool scratch) {
    ScratchRequest req;
    l.plan_scratch({c.cin, c.h, c.w}, req);
    std::vector<uint8_t> s0(scratch ? req.bytes[0] : 0), s1(scratch ? req.bytes[1] : 0);
    ExecContext ctx;
    ctx.scratch[0] = BufferView{s0.empty() ? nullptr : s0.data(), 0, s0.size()};
    ctx.scratch[1] = BufferView{s1.empty() ? nullptr : s1.data(), 0, s1.size()};
    std::vector<int8_t> y(want + 16, 0x5a);
    TensorView v{in.data(), 0, in.size(), c.cin, c.h, c.w};
    BufferView out{y.data(), 0, want};
    l.forward(&v, 1, &out, &ctx);
    for (size_t i = want; i < y.size(); ++i) EXPECT_EQ(y[i], 0x5a) << "guard " << i;
    y.resize(want);
    return y;
}

enum Path { kDense, kDepthwise, kGrouped };
struct Case { Conv c; Path path; };
void PrintTo(const Case& k, std::ostream* os) { PrintTo(k.c, os); }

class ConvInt8Layer : public ::testing::TestWithParam<Case> {};
TEST_P(ConvInt8Layer, MatchesDirectReference) {
    const Problem p(GetParam().c);
    const Conv& c = p.c;
    Tensors t = p.tensors();
    auto l = make(conv_json(c));
    l->load_weights(serve(t));
    auto& conv = dynamic_cast<ConvInt8&>(*l);
    EXPECT_FALSE(conv.winograd_ready);
    EXPECT_EQ(!conv.dw_weight.empty(), GetParam().path == kDepthwise);
    const Shape3 os{c.cout, ext(c.h, c.kh, c.sh, c.ph), ext(c.w, c.kw, c.sw, c.pw)};
    EXPECT_EQ(l->output_shape({c.cin, c.h, c.w}), os);
    const std::vector<int8_t> want = p.direct();
    std::vector<int8_t> in = p.in;
    EXPECT_EQ(run(*l, c, in, want.size(), true), want);
    EXPECT_EQ(run(*l, c, in, want.size(), false), want);
    for (size_t i = size_t(c.cout) - 1; i < want.size(); i += size_t(c.cout)) ASSERT_EQ(want[i], c.out_zp);
}
INSTANTIATE_TEST_SUITE_P(
    Paths, ConvInt8Layer,
    ::testing::Values(Case{{5, 7, 6, 9, 3, 3, 2, 2, 1, 1, 1, 5, -3}, kDense},      // im2col, zp padding
                      Case{{3, 9, 8, 6, 3, 3, 2, 2, 1, 1, 1, 5, -3}, kDense},      // 3-channel 3x3 stem
                      Case{{4, 6, 7, 6, 3, 3, 1, 1, 0, 0, 1, -20, 4}, kDense},
                      Case{{6, 4, 5, 11, 1, 1, 1, 1, 0, 0, 1, 3, 0}, kDense},      // 1x1 direct
                      Case{{6, 5, 5, 4, 1, 1, 2, 2, 0, 0, 1, 3, 0}, kDense},       // 1x1 strided
                      Case{{3, 9, 8, 5, 5, 3, 2, 1, 2, 1, 1, -7, 2}, kDense},
                      Case{{3, 11, 10, 8, 7, 7, 2, 2, 3, 3, 1, 9, -1}, kDense},
                      Case{{2, 1, 2, 3, 3, 3, 1, 1, 0, 0, 1, 0, 0}, kDense},       // 0 output rows
                      Case{{32, 6, 5, 32, 3, 3, 1, 1, 1, 1, 32, 6, -2}, kDepthwise},
                      Case{{32, 7, 6, 32, 3, 3, 2, 2, 1, 1, 32, -4, 1}, kDepthwise},  // odd h
                      Case{{19, 5, 6, 19, 3, 3, 2, 2, 1, 1, 19, 2, 3}, kDepthwise},
                      Case{{32, 7, 6, 32, 3, 3, 2, 2, 0, 0, 32, -4, 1}, kDepthwise},  // pad 0: per group
                      Case{{8, 5, 6, 6, 3, 3, 1, 1, 1, 1, 2, 4, -1}, kGrouped},
                      Case{{4, 5, 5, 8, 3, 3, 1, 1, 1, 1, 4, 4, -1}, kGrouped},    // 2 outputs per group
                      Case{{8, 5, 5, 4, 3, 3, 1, 1, 1, 1, 4, -9, 2}, kGrouped}));  // 2 inputs per group

// The integer Winograd pipeline written out: U = G g G^T quantised per
// position, input transform narrowed by >> 2, 16 products, per-position
// rescale, A^T r A, then the epilogue with the zero-point-corrected bias.
std::vector<int8_t> winograd_reference(const Problem& p) {
    const Conv& c = p.c;
    const float G[4][3] = {{1, 0, 0}, {0.5f, 0.5f, 0.5f}, {0.5f, -0.5f, 0.5f}, {0, 0, 1}};
    const int Bt[4][4] = {{1, 0, -1, 0}, {0, 1, 1, 0}, {0, -1, 1, 0}, {0, 1, 0, -1}};
    const int At[2][4] = {{1, 1, 1, 0}, {0, 1, -1, -1}};
    const size_t plane = size_t(c.cout) * c.cin;
    std::vector<float> u(16 * plane);
    for (size_t oc = 0; oc < plane; ++oc)
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                double s = 0;
                for (int a = 0; a < 3; ++a)
                    for (int b = 0; b < 3; ++b) s += G[i][a] * double(p.w[oc * 9 + a * 3 + b]) * G[j][b];
                u[(4 * i + j) * plane + oc] = float(s);
            }
    std::vector<int8_t> q(16 * plane);
    float us[16];
    QuantMultiplier pos[16];
    for (int t = 0; t < 16; ++t) {
        float m = 0;
        for (size_t i = 0; i < plane; ++i) m = std::max(m, std::fabs(u[t * plane + i]));
        us[t] = m > 0 ? m * 0.007874016f : 1.0f;
        for (size_t i = 0; i < plane; ++i)
            q[t * plane + i] = int8_t(std::fmax(-128.f, std::fmin(127.f, std::round(u[t * plane + i] * (1.0f / us[t])))));
        pos[t] = quantize_multiplier(4.0f * us[t]);
    }
    auto rescale = [](int64_t x, QuantMultiplier m) {  // rounding doubling high multiply, rounding shift
        int64_t v = (2 * int64_t(low32(x)) * m.multiplier + (int64_t(1) << 31)) >> 32;
        return m.shift >= 0 ? v * (int64_t(1) << m.shift) : (v + (int64_t(1) << (-m.shift - 1))) >> -m.shift;
    };
    std::vector<int8_t> y(size_t(c.h) * c.w * c.cout);
    for (int ty = 0; ty < (c.h + 1) / 2; ++ty)
        for (int tx = 0; tx < (c.w + 1) / 2; ++tx) {
            std::vector<int> v(16 * size_t(c.cin));
            for (int ch = 0; ch < c.cin; ++ch) {
                int d[4][4];
                for (int a = 0; a < 4; ++a)
                    for (int b = 0; b < 4; ++b) {
                        const int iy = 2 * ty - 1 + a, ix = 2 * tx - 1 + b;
                        d[a][b] = iy >= 0 && iy < c.h && ix >= 0 && ix < c.w ? p.in[(size_t(iy) * c.w + ix) * c.cin + ch] : c.in_zp;
                    }
                for (int i = 0; i < 4; ++i)
                    for (int j = 0; j < 4; ++j) {
                        int s = 0;
                        for (int a = 0; a < 4; ++a)
                            for (int b = 0; b < 4; ++b) s += Bt[i][a] * d[a][b] * Bt[j][b];
                        v[(4 * i + j) * c.cin + ch] = std::max(-128, std::min(127, (s + 2) >> 2));
                    }
            }
            for (int o = 0; o < c.cout; ++o) {
                int64_t r[16], rsum = 0, corr = 0;
                for (int t = 0; t < 16; ++t) {
                    int64_t acc = 0;
                    for (int ch = 0; ch < c.cin; ++ch) acc += int64_t(v[t * c.cin + ch]) * q[t * plane + size_t(o) * c.cin + ch];
                    r[t] = rescale(acc, pos[t]);
                }
                for (int k = 0; k < 9 * c.cin; ++k) rsum += p.w[size_t(o) * 9 * c.cin + k];
                for (int ch = 0; ch < c.cin; ++ch) corr += q[5 * plane + size_t(o) * c.cin + ch];
                const int e5 = pos[5].shift;
                const int64_t wb = p.bias[o] + c.in_zp * rsum -
                                   (((int64_t(1) << (30 - e5)) + c.in_zp * corr * pos[5].multiplier) >> (31 - e5));
                for (int a = 0; a < 2; ++a)
                    for (int b = 0; b < 2; ++b) {
                        const int oy = 2 * ty + a, ox = 2 * tx + b;
                        int64_t s = 0;
                        for (int i = 0; i < 4; ++i)
                            for (int j = 0; j < 4; ++j) s += At[a][i] * r[4 * i + j] * At[b][j];
                        if (oy < c.h && ox < c.w) y[(size_t(oy) * c.w + ox) * c.cout + o] = p.epilogue(s, wb, o);
                    }
            }
        }
    return y;
}

class ConvInt8Winograd : public ::testing::TestWithParam<Conv> {};
// By default from 128 input channels and 32 tiles; VANTREL_INT8_WINOGRAD=on
// (read at load) forces it on narrower layers and smaller images, off gives
// the exact GEMM, and any value but on, off and auto is refused by name.
TEST_P(ConvInt8Winograd, ExactAgainstItsIntegerReferenceAndCloseToDirect) {
    const Problem p(GetParam());
    Tensors t = p.tensors();
    std::vector<int8_t> in = p.in;
    const std::vector<int8_t> want = winograd_reference(p), direct = p.direct();
    auto l = make(conv_json(p.c));
    setenv("VANTREL_INT8_WINOGRAD", "yes", 1);
    try {
        l->load_weights(serve(t));
        ADD_FAILURE() << "VANTREL_INT8_WINOGRAD=yes accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("must be on, off or auto, got 'yes'"), std::string::npos) << e.what();
    }
    const bool wide = p.c.cin >= ConvInt8::kWinogradMinChannels &&
                      (p.c.h + 1) / 2 * ((p.c.w + 1) / 2) >= ConvInt8::kWinogradMinTiles;
    for (const char* v : {"off", "auto", static_cast<const char*>(nullptr)}) {
        if (v) setenv("VANTREL_INT8_WINOGRAD", v, 1);
        else unsetenv("VANTREL_INT8_WINOGRAD");
        l->load_weights(serve(t));
        const bool on = wide && !(v && std::string(v) == "off");
        EXPECT_EQ(dynamic_cast<ConvInt8&>(*l).winograd_ready, p.c.cin >= ConvInt8::kWinogradMinChannels && !(v && std::string(v) == "off")) << (v ? v : "default");
        EXPECT_EQ(run(*l, p.c, in, want.size(), false), on ? want : direct);
    }
    l = make(conv_json(p.c));
    setenv("VANTREL_INT8_WINOGRAD", "on", 1);
    l->load_weights(serve(t));
    unsetenv("VANTREL_INT8_WINOGRAD");
    ASSERT_TRUE(dynamic_cast<ConvInt8&>(*l).winograd_ready);
    for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
        if (!kernel_path_supported(path)) continue;
        ScopedKernelPath on(path);  // the transforms have per-path variants
        EXPECT_EQ(run(*l, p.c, in, want.size(), true), want) << "path " << int(path);
    }
    EXPECT_EQ(run(*l, p.c, in, want.size(), false), want);
    double err = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_LE(std::abs(want[i] - direct[i]), 4) << i;
        err += std::abs(want[i] - direct[i]);
    }
    EXPECT_LE(err / double(want.size()), 1.0);
}
INSTANTIATE_TEST_SUITE_P(Shapes, ConvInt8Winograd,
                         ::testing::Values(Conv{5, 6, 8, 7, 3, 3, 1, 1, 1, 1, 1, 0, 0},
                                           Conv{8, 7, 5, 9, 3, 3, 1, 1, 1, 1, 1, -37, 3},    // odd extents
                                           Conv{16, 8, 6, 20, 3, 3, 1, 1, 1, 1, 1, -7, 2},
                                           Conv{40, 5, 3, 18, 3, 3, 1, 1, 1, 1, 1, 9, -4},   // 32 channels and a tail
                                           Conv{3, 1, 1, 4, 3, 3, 1, 1, 1, 1, 1, 100, -5},
                                           Conv{128, 12, 11, 12, 3, 3, 1, 1, 1, 1, 1, 4, -1},  // on by default
                                           Conv{128, 7, 7, 12, 3, 3, 1, 1, 1, 1, 1, 4, -1},   // too few tiles
                                           // more tiles per thread than one chunk holds
                                           Conv{8, 90, 91, 8, 3, 3, 1, 1, 1, 1, 1, -3, 6}));

// A foreign per-position scale so large that the rescaled products leave 32
// bits: the outputs saturate with the sign of the true sum (they used to
// wrap, or drop to the bias once the shift reached 32). Only position 5 has
// weights, so all four outputs of the one tile equal cin * v * u * 4 * us5.
struct HostileWino {
    int cin;
    int8_t v;
    float us5;
    int8_t want;
};
void PrintTo(const HostileWino& c, std::ostream* os) {
    *os << "cin " << c.cin << ", v " << int(c.v) << ", u_scale[5] " << c.us5;
}
class ConvInt8WinogradScale : public ::testing::TestWithParam<HostileWino> {};
TEST_P(ConvInt8WinogradScale, SaturatesWithTheSignOfTheSum) {
    const HostileWino& c = GetParam();
    const std::vector<int8_t> in(4 * size_t(c.cin), c.v), zero(size_t(c.cin), 0), u5(size_t(c.cin), 127);
    int8_t* zp = pack_s8(zero.data(), 1, c.cin);
    int8_t* p5 = pack_s8(u5.data(), 1, c.cin);
    const int8_t* u[16];
    float us[16];
    for (int t = 0; t < 16; ++t) u[t] = t == 5 ? p5 : zp, us[t] = t == 5 ? c.us5 : 1.0f;
    const int64_t bias = (int64_t(5) << 33) - 3;  // bits above the low word do not count
    const QuantMultiplier one = quantize_multiplier(1.0f);
    for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
        if (!kernel_path_supported(path)) continue;
        ScopedKernelPath on(path);
        std::vector<int8_t> y(4, 0);
        k_conv2d_s8_wino(in.data(), u, us, &bias, &one.multiplier, &one.shift, nullptr, 0, 0.25f, 1, y.data(),
                         c.cin, 2, 2, 1, nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(y, std::vector<int8_t>(4, c.want)) << "path " << int(path);
    }
    free_packed_s8(zp);
    free_packed_s8(p5);
}
INSTANTIATE_TEST_SUITE_P(Cases, ConvInt8WinogradScale,
                         ::testing::Values(HostileWino{256, 127, 256.0f, 127},    // shift 11: wrapped negative
                                           HostileWino{256, -127, 256.0f, -128},  // and positive
                                           HostileWino{1, 1, 1073741824.0f, 127},  // shift 33: dropped to 0
                                           HostileWino{1, -1, 1e30f, -128},        // shift past 58
                                           HostileWino{3, 2, 0.00390625f, 11}));     // in range: 762 / 64 - 3, + 1

// The output stage of every kernel path against the scalar one, on products
// over the whole int32 range: per-position scales that shift right, left
// (exactly, to the +-2^58 cap, past 58) or carry an INT32_MIN multiplier
// (shifting left and right);
// per-channel requantisations with and without the rare steps; a channel
// tail and tiles cut by the image's odd edges.
// Mode 2: ordinary scales, a third of the biases at the ends of int32 (sums
// that saturate).
class ConvInt8WinogradOutput : public ::testing::TestWithParam<int> {};
TEST_P(ConvInt8WinogradOutput, EveryPathGivesTheScalarBytes) {
    const bool hostile = GetParam() == 1, edge = GetParam() == 2;
    const int64_t cout = 37, h = 5, w = 7, tw = 4, tiles = 3 * tw;
    std::mt19937 rng(hostile ? 11 : 12);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX), small(-40000, 40000);
    std::vector<int32_t> pm(size_t(16 * tiles * cout)), mult(cout), shift(cout);
    for (size_t i = 0; i < pm.size(); ++i) pm[i] = !hostile ? small(rng) : i % 7 ? any(rng) : INT32_MIN;
    std::vector<int64_t> bias(cout);
    for (size_t c = 0; c < bias.size(); ++c) {
        const bool top = small(rng) % 2 != 0;
        const int32_t in = std::abs(small(rng) / 4000);  // 0 to 10 steps inside the end
        const int32_t end = top ? INT32_MAX - in : INT32_MIN + in;
        bias[c] = int64_t((uint64_t(uint32_t(any(rng))) << 32) |
                          uint32_t(hostile ? any(rng) : edge && c % 3 == 0 ? end : small(rng) / 200));
    }
    WinoS8Output o{};
    o.pm = pm.data();
    o.pos_stride = tiles * cout;
    o.wino_bias = bias.data();
    o.out_zp = -3;
    o.cout = cout, o.h = h, o.w = w, o.tw = tw, o.out_ld = cout;
    // A bound on the products lets a path sum in 32 bits where nothing can
    // leave int32 (the ordinary case); the hostile one's must refuse it.
    o.product_bound = hostile ? INT32_MAX : 40000;
    const float pos_scales[16] = {3e-3f, 1e-4f, 0.7f, 2e-2f, 5e-3f, 9e-4f, 4e-3f, 1e-6f,
                                  2.5f, 300.0f, 1e12f, 1e30f, -6e-3f, 1e-11f, 8e-3f, 1e-3f};
    for (int t = 0; t < 16; ++t) {
        const QuantMultiplier q = quantize_multiplier(hostile ? pos_scales[t] : t == 13 ? 1e-11f : 1e-3f * float(1 + t % 5));
        o.pos_multiplier[t] = hostile && (t == 8 || t == 15) ? INT32_MIN : q.multiplier;  // left and right
        o.pos_shift[t] = q.shift;
    }
    for (int64_t c = 0; c < cout; ++c) {
        // Scales of 1/2 and more (left shifts) take the rare requantisation steps.
        const float big = hostile ? (c % 3 == 0 ? 3.0f + float(c) : 0) : (c == 7 ? 0.75f : c == 31 ? 1.5f : c == 36 ? 3.0f : 0);
        const QuantMultiplier q = quantize_multiplier(big > 0 ? big : 1e-3f * float(1 + c));
        mult[c] = hostile && c == 20 ? INT32_MIN : q.multiplier;
        shift[c] = hostile && c == 21 ? -45 : q.shift;
    }
    o.multiplier = mult.data();
    o.shift = shift.data();
    std::vector<int8_t> want(size_t(h * w * cout), 0);
    o.out = want.data();
    conv2d_s8_wino_output_portable(o, 0, tiles);
    for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
        if (!kernel_path_supported(path)) continue;
        ScopedKernelPath on(path);
        for (const int64_t* b : {static_cast<const int64_t*>(bias.data()), static_cast<const int64_t*>(nullptr)}) {
            std::vector<int8_t> ref(want.size(), 0), got(want.size(), 0);
            o.wino_bias = b;
            o.out = ref.data();
            conv2d_s8_wino_output_portable(o, 0, tiles);
            o.out = got.data();
            conv2d_s8_wino_output(o, 0, 5);  // two ranges, as two threads split them
            o.pm = pm.data() + 5 * cout;      // a range's products start at its first tile
            conv2d_s8_wino_output(o, 5, tiles);
            o.pm = pm.data();
            EXPECT_EQ(got, ref) << "path " << int(path) << (b ? "" : ", no bias");
        }
        o.wino_bias = bias.data();
    }
    // Not all saturated: the cases reach ordinary outputs too.
    EXPECT_GT(std::count_if(want.begin(), want.end(), [](int8_t v) { return v > -128 && v < 127; }), 30);
}
INSTANTIATE_TEST_SUITE_P(Scales, ConvInt8WinogradOutput, ::testing::Values(0, 1, 2));

class GemmInt8Layer : public ::testing::TestWithParam<std::pair<bool, int>> {};
TEST_P(GemmInt8Layer, DequantisesThenRelu) {
    const auto [relu, bias_base] = GetParam();
    const int cin = 37, cout = 21;
    std::vector<int8_t> x = codes(cin, -128, 127, 1), w = codes(size_t(cin) * cout, -128, 127, 2);
    std::vector<float> scale;
    std::vector<int64_t> bias;
    for (int o = 0; o < cout; ++o) scale.push_back(o == 3 ? 0.0f : 0.01f + 0.001f * o), bias.push_back(bias_base + 37 * o);
    Tensors t = {{"c1.weight", raw(w)}, {"c1.req_scale", raw(scale)}, {"c1.eff_bias", raw(bias)}};
    auto l = make(R"({"op":"gemm","C_out":21,"C_in":37,"in_zp":4})", relu);
    l->load_weights(serve(t));
    EXPECT_EQ(l->input_dtype(), kDtypeInt8);
    EXPECT_EQ(l->dtype(), kDtypeFp32);
    std::vector<float> y(cout);
    TensorView v{x.data(), 0, x.size(), 1, 1, cin};  // any shape of C_in elements
    BufferView out{y.data(), 0, y.size() * 4};
    EXPECT_EQ(l->forward(&v, 1, &out, nullptr), (Shape3{cout, 1, 1}));
    for (int o = 0; o < cout; ++o) {
        int64_t acc = bias[o];
        for (int k = 0; k < cin; ++k) acc += int64_t(x[k]) * w[size_t(o) * cin + k];
        const float want = float(low32(acc)) * scale[o];
        EXPECT_EQ(y[o], relu && want <= 0 ? 0.0f : want) << o;
    }
}
INSTANTIATE_TEST_SUITE_P(Flags, GemmInt8Layer,
                         ::testing::Values(std::pair{false, 0}, std::pair{true, 0}, std::pair{false, -3000000},
                                           std::pair{true, -3000000}));  // all negative

// Bad nodes, weights or inputs, and the words the message must carry.
struct Reject { const char* json; const char* tensor; Rec replacement; int in_c; const char* message; };
class Int8LayerRejects : public ::testing::TestWithParam<Reject> {};
TEST_P(Int8LayerRejects, WithAClearMessage) {
    const Reject& r = GetParam();
    std::string what;
    try {
        auto l = make(r.json);
        const bool gemm = std::string(r.json).find("gemm") != std::string::npos;
        Tensors t = Problem(Conv{2, 4, 4, 4, gemm ? 4 : 3, gemm ? 4 : 3, 1, 1, 1, 1, 1, 0, 0}).tensors();
        if (r.tensor && r.replacement.bytes.empty()) t.erase(r.tensor);
        else if (r.tensor) t[r.tensor] = r.replacement;
        l->load_weights(serve(t));
        std::vector<int8_t> in(size_t(r.in_c) * 16), y(64);
        TensorView v{in.data(), 0, in.size(), r.in_c, 4, 4};
        BufferView out{y.data(), 0, y.size()};
        l->forward(&v, 1, &out, nullptr);
    } catch (const std::runtime_error& e) {
        what = e.what();
    }
    EXPECT_NE(what.find("'c1'"), std::string::npos) << what;
    EXPECT_NE(what.find(r.message), std::string::npos) << what;
}
constexpr const char* kC = R"({"op":"conv_int8","C_out":4,"C_in":2,"kH":3,"kW":3})";
constexpr const char* kG = R"({"op":"gemm_int8","C_out":4,"C_in":32})";
Rec f32(std::vector<float> v) { return raw(v); }
Rec i64(size_t n) { return raw(std::vector<int64_t>(n, 1)); }
Rec with_shape(Rec r, std::vector<int> s) { r.shape = std::move(s); return r; }
INSTANTIATE_TEST_SUITE_P(
    Cases, Int8LayerRejects,
    ::testing::Values(
        Reject{kC, "c1.weight", raw(std::vector<int8_t>(71)), 2, "'c1.weight' holds 71 int8 values, expected 72"},
        Reject{kC, "c1.weight", raw(std::vector<float>(72)), 2, "'c1.weight' holds 288 int8 values"},  // float32 data
        Reject{kC, "c1.weight", {}, 2, "'c1.weight' is missing"},
        Reject{kC, "c1.req_scale", {}, 2, "'c1.req_scale' is missing"},
        Reject{kC, "c1.eff_bias", {}, 2, "'c1.eff_bias' is missing"},
        Reject{kC, "c1.req_scale", f32({1, 1, 1}), 2, "'c1.req_scale' holds 3 float32 values, expected 4"},
        Reject{kC, "c1.req_scale", f32({1, -1, 1, 1}), 2, "'c1.req_scale' entry 1"},
        Reject{kC, "c1.req_scale", f32({1, 1, NAN, 1}), 2, "finite and at least 0"},
        Reject{kC, "c1.req_scale", f32({1, 1, 1, INFINITY}), 2, "finite and at least 0"},
        Reject{kC, "c1.eff_bias", raw(std::vector<int32_t>(4)), 2, "'c1.eff_bias' holds 2 int64 values, expected 4"},
        Reject{kC, "c1.eff_bias", raw(std::vector<int32_t>(9)), 2, "not a whole number of int64"},
        Reject{kC, "c1.eff_bias", with_shape(i64(4), {8}), 2, "does not hold 4 int64"},  // 8 int32 by its shape
        Reject{kC, nullptr, {}, 3, "input has 3 channels, expected C_in = 2"},
        Reject{R"({"op":"conv_int8","C_out":4,"C_in":6,"groups":4})", nullptr, {}, 6, "'groups'"},
        Reject{R"({"op":"conv_int8","C_out":6,"C_in":4,"groups":0})", nullptr, {}, 4, "'groups'"},
        Reject{R"({"op":"conv_int8","C_out":4,"C_in":2,"stride_h":0})", nullptr, {}, 2, "'stride_h'"},
        Reject{R"({"op":"conv_int8","C_out":4,"C_in":2,"pad_w":-1})", nullptr, {}, 2, "'pad_w'"},
        Reject{R"({"op":"conv_int8","C_out":4,"C_in":2,"kH":0})", nullptr, {}, 2, "'kH'"},
        Reject{R"({"op":"conv_int8","C_out":4})", nullptr, {}, 2, "'C_in'"},
        Reject{kG, "c1.weight", raw(std::vector<int8_t>(127)), 2, "'c1.weight' holds 127 int8 values, expected 128"},
        Reject{kG, "c1.eff_bias", raw(std::vector<int64_t>(3)), 2, "'c1.eff_bias' holds 3 int64"},
        Reject{kG, nullptr, {}, 3, "input has 48 elements, expected C_in = 32"},
        Reject{R"({"op":"gemm_int8","C_in":2})", nullptr, {}, 2, "'C_out'"}));

TEST(ConvInt8Layer, RefusesShortBuffersAndUnloadedWeights) {
    const Conv c{2, 4, 4, 4, 3, 3, 1, 1, 1, 1, 1, 0, 0};
    Tensors t = Problem(c).tensors();
    auto l = make(conv_json(c));
    std::vector<int8_t> in(32), y(64);
    TensorView v{in.data(), 0, in.size(), 2, 4, 4};
    BufferView out{y.data(), 0, y.size()};
    EXPECT_THROW(l->forward(&v, 1, &out, nullptr), std::runtime_error);  // not loaded
    l->load_weights(serve(t));
    EXPECT_THROW(l->forward(&v, 0, &out, nullptr), std::runtime_error);
    BufferView small{y.data(), 0, 63};
    EXPECT_THROW(l->forward(&v, 1, &small, nullptr), std::runtime_error);
    TensorView short_in = v;
    short_in.bytes = 31;
    EXPECT_THROW(l->forward(&short_in, 1, &out, nullptr), std::runtime_error);
}

// Graphs whose tensors reach a layer in the wrong element type are refused
// when the executor is prepared, naming the reading node.
TEST(Int8Graph, RefusesMismatchedTensorTypes) {
    struct G { const char* nodes; const char* message; };
    for (const G& g : {G{R"({"name":"c","op":"conv_fp32","inputs":["x"],"outputs":["y"],"args":{"C_out":4,"C_in":4}},
                         {"name":"fc","op":"gemm_int8","inputs":["y"],"outputs":["z"],"args":{"C_out":2,"C_in":4}})",
                          "node 'fc' (gemm_int8) reads int8 data but its input 'y' holds float32"},
                        G{R"({"name":"c","op":"conv_int8","inputs":["x"],"outputs":["y"],"args":{"C_out":4,"C_in":4}},
                         {"name":"fc","op":"gemm_fp32","inputs":["y"],"outputs":["z"],"args":{"C_out":2,"C_in":4}})",
                          "node 'fc' (gemm_fp32) reads float32 data but its input 'y' holds int8"}}) {
        ArchGraph graph = load_arch_text(std::string(R"({"model":"m","inputs":[{"name":"x","shape":[1,1,1,4]}],"nodes":[)") +
                                             g.nodes + "]}", "m.json");
        GraphExecutor ex;
        try {
            ex.prepare(graph, &cpu_allocator());
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), g.message);
        }
    }
}

}  // namespace

}  // namespace test_conv2d
