// Grouped 3x3 float convolution: the per-group im2col GEMM against the
// direct kernel, on the grouped layers of ResNeXt-50 (32x4d) and of RegNets.
// The two run in turn, round after round, so a busy machine slows them
// alike; the fastest round of each and the ratio direct / GEMM are printed.
// ConvFp32's choice (grouped_direct_f32_suits) comes from these numbers.
//
// Build and run:
//   cmake -S . -B build/bench -G Ninja -DVANTREL_BENCH=ON -Wno-dev
//   cmake --build build/bench --target conv_grouped_bench
//   build/bench/bench/conv_grouped_bench [--threads N] [--rounds R]
// (--threads: default 2; --rounds: default 15.)

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "bench/conv_bench_setup.h"
#include "kernels/conv/conv2d_f32_grouped.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/gemm/gemm_f32.h"

using namespace vantrel;

namespace {

struct Shape {
    int c, groups, hw, stride;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = vantrel_bench::conv_bench_setup(argc, argv).rounds;
    std::printf("%5s %4s %5s %4s %2s | %8s %8s | %6s\n", "c", "cg", "grp", "hw", "s", "gemm", "direct", "d/gemm");
    // ResNeXt-50 32x4d (the stride-2 layer opens each stage), then RegNet
    // group widths 8, 16 and 24.
    const std::vector<Shape> all = {{128, 32, 56, 1},  {256, 32, 56, 2}, {256, 32, 28, 1}, {512, 32, 28, 2},
                                    {512, 32, 14, 1},  {1024, 32, 14, 2}, {1024, 32, 7, 1}, {48, 6, 56, 1},
                                    {104, 13, 28, 1},  {208, 26, 14, 1},  {440, 55, 7, 1},  {128, 8, 28, 1},
                                    {256, 16, 14, 1},  {120, 5, 28, 1},   {336, 14, 14, 1}, {888, 37, 7, 1}};
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (const Shape& s : all) {
        const int c = s.c, g = s.groups, h = s.hw, cg = c / g, k = 9 * cg;
        std::vector<float> x(size_t(h) * h * c), wt(size_t(c) * k), bias(static_cast<size_t>(c));
        std::vector<float> r(wt.size()), taps(wt.size());
        for (float& v : x) v = dist(rng);
        for (float& v : wt) v = dist(rng) * 0.1f;
        for (float& v : bias) v = dist(rng);
        reorder_conv_weights_taps(wt.data(), r.data(), c, cg, 9);
        std::vector<float*> bp;
        for (int j = 0; j < g; ++j) bp.push_back(pack_f32(r.data() + size_t(j) * cg * k, cg, k));
        grouped_weights_tap_major_f32(wt.data(), taps.data(), c, c, g, 3, 3);
        std::vector<float> scratch(size_t(grouped_conv_f32_scratch_floats(c, h, h, c, g, 3, 3, s.stride, s.stride,
                                                                         1, 1, 1, 1)));
        const int oh = (h - 1) / s.stride + 1;
        std::vector<float> y(size_t(oh) * oh * c);
        auto gemm = [&] {
            conv2d_f32_grouped(x.data(), bp.data(), bias.data(), y.data(), c, h, h, c, g, 3, 3, s.stride, s.stride,
                               1, 1, 1, 1, true, scratch.data(), nullptr);
        };
        auto direct = [&] {
            conv2d_f32_grouped_direct(x.data(), taps.data(), bias.data(), y.data(), c, h, h, c, g, 3, 3, s.stride,
                                      s.stride, 1, 1, 1, 1, true);
        };
        gemm();  // warm the caches and the thread team
        direct();
        double tg = 1e9, td = 1e9;
        for (int i = 0; i < rounds; ++i) {
            tg = std::min(tg, vantrel_bench::seconds(gemm));
            td = std::min(td, vantrel_bench::seconds(direct));
        }
        std::printf("%5d %4d %5d %4d %2d | %8.3f %8.3f | %6.2f\n", c, cg, g, h, s.stride, tg * 1e3, td * 1e3, td / tg);
        std::fflush(stdout);
        for (float* p : bp) free_packed_f32(p);
    }
    return 0;
}
