// 3x3 stride-1 pad-1 float convolution: Winograd F(2x2, 3x3), Winograd
// F(4x4, 3x3) and the im2col GEMM on the same layer, for the shapes of
// ResNet-style networks and a few smaller ones; with --stride 2, the
// stride-2 pad-1 layer on the same inputs (hw: the input's extent) by the
// stride-2 Winograd form (conv2d_f32_wino_s2_epi, in the F(2,3) column)
// and the im2col GEMM. The kernels run in turn,
// round after round, so a busy machine slows them alike; the fastest round
// of each (the one least disturbed) and the ratios to the GEMM are printed. ConvFp32's choice between them
// (choose_winograd, winograd4_runs, choose_winograd_s2) comes from these
// numbers.
//
// Build and run:
//   cmake -S . -B build/bench -G Ninja -DVANTREL_BENCH=ON -Wno-dev
//   cmake --build build/bench --target conv_wino_bench
//   build/bench/bench/conv_wino_bench [--threads N] [--rounds R] [--only N] [--skip N] [--stride 2]
// (--threads: default 2; --rounds: default 15; --only / --skip: the first N
// shapes / all but the first N.)

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bench/conv_bench_setup.h"
#include "kernels/conv/conv2d_f32.h"
#include "kernels/conv/conv2d_f32_wino.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/gemm/gemm_f32.h"

using namespace vantrel;

namespace {

struct Shape {
    int c_in, c_out, hw;
};

std::vector<float*> winograd_weights(const std::vector<float>& w, int cin, int cout, int pos,
                                     void (*tf)(const float*, float*)) {
    const size_t plane = size_t(cout) * cin;
    std::vector<float> m(size_t(pos) * plane);
    float e[36];
    for (size_t oc = 0; oc < plane; ++oc) {
        tf(w.data() + oc * 9, e);
        for (int t = 0; t < pos; ++t) m[t * plane + oc] = e[t];
    }
    std::vector<float*> u;
    for (int t = 0; t < pos; ++t) u.push_back(pack_f32(m.data() + t * plane, cout, cin));
    return u;
}


double fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char** argv) {
    const int rounds = vantrel_bench::conv_bench_setup(argc, argv).rounds;
    std::printf("%5s %5s %4s | %9s %9s %9s | %6s %6s\n", "c_in", "c_out", "hw", "F(2,3)", "F(4,3)", "gemm",
                "F2/gem", "F4/gem");
    const std::vector<Shape> all = {{64, 64, 56},  {128, 128, 28}, {256, 256, 14}, {512, 512, 7},
                            {16, 16, 56},  {32, 32, 56},   {32, 32, 28},   {64, 64, 28},
                            {64, 64, 14},  {128, 128, 14}, {128, 128, 7},  {256, 256, 7},
                            {512, 512, 4}, {16, 16, 14},   {32, 32, 14},   {64, 64, 8},
                            {128, 128, 56}, {256, 256, 28}, {512, 512, 14}, {512, 512, 28},
                            {64, 128, 28}, {256, 512, 7},   {32, 32, 7},    {64, 64, 5},
                            {64, 64, 6},   {128, 128, 4},  {128, 128, 5},  {256, 256, 5}};
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    // --only N: just the first N shapes (ResNet-50's four come first);
    // --skip N: from shape N on.
    size_t only = all.size(), skip = 0;
    bool s2 = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--only")) only = std::min(all.size(), size_t(std::atoi(argv[i + 1])));
        if (!std::strcmp(argv[i], "--skip")) skip = size_t(std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--stride")) s2 = std::atoi(argv[i + 1]) == 2;
    }
    for (size_t si = skip; si < only; ++si) {
        const Shape& s = all[si];
        const int cin = s.c_in, cout = s.c_out, h = s.hw, w = s.hw;
        std::vector<float> x(size_t(h) * w * cin), wt(size_t(cout) * cin * 9), bias(static_cast<size_t>(cout));
        for (float& v : x) v = dist(rng);
        for (float& v : wt) v = dist(rng) * 0.1f;
        for (float& v : bias) v = dist(rng);
        const int stride = s2 ? 2 : 1, oh = (h - 1) / stride + 1, ow = (w - 1) / stride + 1;
        std::vector<float*> u2 = winograd_weights(
            wt, cin, cout, 16, s2 ? &winograd_s2_weight_transform_f32 : &winograd_weight_transform_f32);
        std::vector<float*> u4 = winograd_weights(wt, cin, cout, 36, &winograd4_weight_transform_f32);
        std::vector<float> r(wt.size());
        reorder_conv_weights_taps(wt.data(), r.data(), cout, cin, 9);
        float* bp = pack_f32(r.data(), cout, 9 * cin);
        const int64_t scratch_floats =
            std::max({conv2d_f32_wino_scratch_floats(2, cin, h, w, cout),
                      conv2d_f32_wino_scratch_floats(4, cin, h, w, cout),
                      conv2d_f32_wino_scratch_floats(kWinoStride2, cin, oh, ow, cout), int64_t(h) * w * 9 * cin});
        std::vector<float> scratch(static_cast<size_t>(scratch_floats)), y(size_t(h) * w * cout);
        auto f2 = [&] {
            if (s2)
                conv2d_f32_wino_s2_epi(x.data(), u2.data(), bias.data(), y.data(), cin, h, w, cout, 1, 1, true,
                                       scratch.data(), nullptr);
            else
                conv2d_f32_wino_epi(x.data(), u2.data(), bias.data(), y.data(), cin, h, w, cout, 1, 1, true,
                                    scratch.data(), nullptr);
        };
        auto f4 = [&] {
            conv2d_f32_wino4_epi(x.data(), u4.data(), bias.data(), y.data(), cin, h, w, cout, 1, 1, true,
                                 scratch.data(), nullptr);
        };
        auto gemm = [&] {
            conv2d_f32_epi(x.data(), wt.data(), bias.data(), y.data(), cin, h, w, cout, 3, 3, stride, stride, 1, 1,
                           true, bp, scratch.data(), 1, 1, nullptr);
        };
        f2();  // warm the caches and the thread team
        if (!s2) f4();  // (stride 2: no F(4x4) column, printed as 0)
        gemm();
        std::vector<double> t2, t4, tg;
        for (int k = 0; k < rounds; ++k) {
            t2.push_back(vantrel_bench::seconds(f2));
            t4.push_back(s2 ? 0.0 : vantrel_bench::seconds(f4));
            tg.push_back(vantrel_bench::seconds(gemm));
        }
        const double m2 = fastest(t2) * 1e3, m4 = fastest(t4) * 1e3, mg = fastest(tg) * 1e3;
        std::printf("%5d %5d %4d | %9.3f %9.3f %9.3f | %6.2f %6.2f\n", cin, cout, h, m2, m4, mg, m2 / mg, m4 / mg);
        std::fflush(stdout);
        for (float* p : u2) free_packed_f32(p);
        for (float* p : u4) free_packed_f32(p);
        free_packed_f32(bp);
    }
    return 0;
}
