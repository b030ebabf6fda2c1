// MobileNetV2's inverted-residual blocks (1x1 expansion with ReLU, 3x3
// depthwise with ReLU, 1x1 projection, the residual add where the shape is
// kept), and EfficientNet-like wide ones at 14x14 and 28x28, as the fold runs them (conv2d_f32_expand_depthwise) against the
// three kernels one after the other through whole tensors. The two forms
// run in turn, round after round, so a busy machine slows them alike; the
// fastest round of each is printed in microseconds, with their ratio, at the
// team size OMP_NUM_THREADS gives.
//
// Build and run:
//   cmake -S . -B build/bench -G Ninja -DVANTREL_BENCH=ON -Wno-dev
//   cmake --build build/bench --target expand_dw_bench
//   OMP_NUM_THREADS=2 build/bench/bench/expand_dw_bench [--rounds R] [--reps N]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/conv2d_f32_expand_dw.h"
#include "kernels/gemm/gemm_f32.h"

using namespace vantrel;

namespace {

struct Block {
    int cin, cmid, cout, stride, hw;
};

std::vector<float> uniform(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7, reps = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--reps")) reps = std::atoi(argv[i + 1]);
    }
    const Block blocks[] = {{16, 96, 24, 2, 112}, {24, 144, 24, 1, 56},  {24, 144, 32, 2, 56}, {32, 192, 32, 1, 28},
                            {32, 192, 64, 2, 28}, {64, 384, 64, 1, 14},  {64, 384, 96, 1, 14}, {96, 576, 96, 1, 14},
                            {96, 576, 160, 2, 14}, {160, 960, 160, 1, 7}, {160, 960, 320, 1, 7},
                            {160, 960, 160, 1, 14}, {112, 672, 112, 1, 14}, {80, 480, 80, 1, 14}, {40, 240, 40, 1, 28}};
    double sum_fold = 0, sum_apart = 0;
    for (const Block& b : blocks) {
        const int oh = (b.hw - 1) / b.stride + 1;
        const bool residual = b.stride == 1 && b.cin == b.cout;
        const std::vector<float> x = uniform(size_t(b.hw) * b.hw * b.cin, 1), we = uniform(size_t(b.cmid) * b.cin, 2),
                                 wd = uniform(size_t(b.cmid) * 9, 3), wp = uniform(size_t(b.cout) * b.cmid, 4),
                                 be = uniform(size_t(b.cmid), 5), bd = uniform(size_t(b.cmid), 6),
                                 bp = uniform(size_t(b.cout), 7);
        std::vector<float> taps(wd.size()), mid(size_t(b.hw) * b.hw * b.cmid), dw(size_t(oh) * oh * b.cmid),
            out(size_t(oh) * oh * b.cout);
        depthwise_weights_tap_major_f32(wd.data(), taps.data(), b.cmid, 3, 3);
        float* pe = pack_f32(we.data(), b.cmid, b.cin);
        float* pp = pack_f32(wp.data(), b.cout, b.cmid);
        ConvEpilogueF32 add;
        if (residual) {
            add.residual = x.data();
            add.relu_tail_from = int64_t(out.size()) / 4 * 4;
        }
        ExpandDepthwiseF32 p;
        p.expand_bp = pe;
        p.expand_bias = be.data();
        p.expand_relu = true;
        p.cin = b.cin;
        p.cmid = p.cout = b.cmid;
        p.dw_taps = taps.data();
        p.dw_bias = bd.data();
        p.dw_relu = true;
        p.kh = p.kw = 3;
        p.stride_h = p.stride_w = b.stride;
        p.pad_h = p.pad_w = 1;
        p.project_bp = pp;
        p.project_bias = bp.data();
        p.project_epi = add;
        p.cproj = b.cout;
        auto fold = [&] { conv2d_f32_expand_depthwise(x.data(), b.hw, b.hw, p, out.data()); };
        auto apart = [&] {
            gemm_f32_epi(x.data(), pe, be.data(), mid.data(), true, b.hw * b.hw, b.cin, b.cmid, false, nullptr);
            conv2d_f32_depthwise_epi(mid.data(), taps.data(), bd.data(), dw.data(), b.cmid, b.hw, b.hw, b.cmid, 3, 3,
                                     b.stride, b.stride, 1, 1, 1, 1, true, nullptr);
            gemm_f32_epi(dw.data(), pp, bp.data(), out.data(), false, oh * oh, b.cmid, b.cout, false,
                         residual ? &add : nullptr);
        };
        double best[2] = {1e30, 1e30};
        for (int r = 0; r < rounds; ++r)
            for (int form = 0; form < 2; ++form) {
                auto run = [&] { form == 0 ? fold() : apart(); };
                run();
                const auto t0 = std::chrono::steady_clock::now();
                for (int i = 0; i < reps; ++i) run();
                best[form] = std::min(
                    best[form], std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / reps);
            }
        std::printf("%3d -> %4d -> %3d s%d %3dx%-3d: fold %8.1f us  apart %8.1f us  fold/apart %.3f\n", b.cin,
                    b.cmid, b.cout, b.stride, b.hw, b.hw, best[0] * 1e6, best[1] * 1e6, best[0] / best[1]);
        sum_fold += best[0];
        sum_apart += best[1];
        free_packed_f32(pe);
        free_packed_f32(pp);
    }
    std::printf("all blocks: fold %.1f us  apart %.1f us  fold/apart %.3f\n", sum_fold * 1e6, sum_apart * 1e6,
                sum_fold / sum_apart);
    return 0;
}
