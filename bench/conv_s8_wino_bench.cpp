// int8 3x3 stride-1 pad-1 convolution: the integer Winograd F(2x2, 3x3)
// kernel against the im2col int8 GEMM (what VANTREL_INT8_WINOGRAD=off runs)
// on the same random layer. The two run in turn, round after round, so a
// busy machine slows them alike; the fastest round of each and their ratio
// are printed.
//
// Build and run:
//   cmake -S . -B build/bench -G Ninja -DVANTREL_BENCH=ON -Wno-dev
//   cmake --build build/bench --target conv_s8_wino_bench
//   build/bench/bench/conv_s8_wino_bench [--threads N] [--rounds R]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "bench/conv_bench_setup.h"
#include "kernels/conv/conv2d_s8_wino.h"
#include "kernels/conv/im2col_s8.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/quantize.h"

using namespace vantrel;

namespace {

struct Shape {
    int c, hw;
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = vantrel_bench::conv_bench_setup(argc, argv).rounds;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(-100, 100);
    std::printf("%-14s %12s %12s %8s\n", "shape", "wino ms", "gemm ms", "ratio");
    for (const Shape s : {Shape{64, 56}, Shape{128, 28}, Shape{256, 14}, Shape{512, 7}}) {
        const int c = s.c, hw = s.hw;
        std::vector<int8_t> in(size_t(hw) * hw * c), w(size_t(c) * 9 * c), y(in.size());
        for (auto& v : in) v = int8_t(byte(rng));
        for (auto& v : w) v = int8_t(byte(rng) / 4);
        const int8_t* u[16];
        float us[16];
        std::vector<int8_t> ut(size_t(c) * c);
        for (int t = 0; t < 16; ++t) {
            for (auto& v : ut) v = int8_t(byte(rng));
            u[t] = pack_s8(ut.data(), c, c);
            // Scales of the order int8 weights give (max |U_t| / 127 with |U_t| up to
            // 4 * 127): the output stage's per-position rescale then shifts left.
            us[t] = 0.25f * float(1 + t % 3);
        }
        std::vector<int64_t> bias(size_t(c), 11);
        std::vector<int32_t> mult(static_cast<size_t>(c)), shift(static_cast<size_t>(c));
        for (int o = 0; o < c; ++o) {
            const QuantMultiplier q = quantize_multiplier(0.0021f + 0.0001f * float(o % 5));
            mult[o] = q.multiplier;
            shift[o] = q.shift;
        }
        const int64_t tiles = int64_t((hw + 1) / 2) * ((hw + 1) / 2);
        std::vector<int8_t> s0(size_t(16 * tiles * c));
        std::vector<int32_t> s1(size_t(16 * tiles * c));
        int8_t* wp = pack_s8(w.data(), c, 9 * c);
        const Conv2dGeometry g = conv2d_geometry(c, hw, hw, 3, 3, 1, 1, 1, 1, 1, 1);
        std::vector<int8_t> a(size_t(hw) * hw * 9 * c);
        auto wino = [&] {
            k_conv2d_s8_wino(in.data(), u, us, bias.data(), mult.data(), shift.data(), nullptr, 3, 0.25f,
                             -2, y.data(), c, hw, hw, c, s0.data(), s1.data(), nullptr, nullptr);
        };
        auto gemm = [&] {
#pragma omp parallel for schedule(static)
            for (int oy = 0; oy < hw; ++oy) im2col_rows_s8(in.data(), g, 0, c, oy, oy + 1, 3, a.data());
            gemm_s8_s8out(a.data(), wp, bias.data(), mult.data(), shift.data(), -2, y.data(), hw * hw, 9 * c,
                          c, false, false);
        };
        wino();
        gemm();
        double best_w = 1e30, best_g = 1e30;
        for (int r = 0; r < rounds; ++r) {
            auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < 5; ++i) wino();
            best_w = std::min(best_w, seconds_since(t0) / 5);
            t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < 5; ++i) gemm();
            best_g = std::min(best_g, seconds_since(t0) / 5);
        }
        char name[32];
        std::snprintf(name, sizeof name, "%dx%dx%d", hw, hw, c);
        std::printf("%-14s %12.3f %12.3f %8.2f\n", name, best_w * 1e3, best_g * 1e3, best_w / best_g);
        for (int t = 0; t < 16; ++t) free_packed_s8(const_cast<int8_t*>(u[t]));
        free_packed_s8(wp);
    }
    return 0;
}
