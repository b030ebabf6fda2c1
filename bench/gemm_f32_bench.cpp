// Float GEMM benchmark: measures the machine's FMA peak in the same run (a
// loop of independent vector FMAs, on one core and on a team of threads),
// then the GFLOP/s of gemm_f32 on every kernel path this CPU supports, on
// the shapes of typical convolution and fully connected layers, printing
// each result as a fraction of the peak of the path's instruction set.
//
// Build and run:
//   cmake -S . -B build/bench -G Ninja -DVANTREL_BENCH=ON -Wno-dev
//   cmake --build build/bench --target gemm_f32_bench
//   build/bench/bench/gemm_f32_bench [--threads N] [--no-portable]
// (--threads: the largest team measured, default 2.)
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/fma_peak.h"
#include "kernels/gemm_f32.h"
#include "kernels/kernel_path.h"

using namespace vantrel;
using namespace vantrel_bench;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Path {
    const char* name;
    KernelPath id;
    float* (*pack)(const float*, int32_t, int32_t);
    void (*gemm)(const float*, const float*, const float*, float*, bool, int32_t, int32_t, int32_t,
                 bool);
    float (*fma_loop)(int64_t);  // null: compare with the best vector peak
    int lanes;
};

std::vector<Path> available_paths(bool with_portable) {
    std::vector<Path> paths;
    if (with_portable)
        paths.push_back({"portable", KernelPath::Portable, &pack_f32_portable, &gemm_f32_portable,
                         nullptr, 0});
#if defined(__x86_64__)
    if (kernel_path_supported(KernelPath::Avx2))
        paths.push_back({"avx2", KernelPath::Avx2, &pack_f32_avx2, &gemm_f32_avx2,
                         &fma_loop_avx2, 8});
    if (kernel_path_supported(KernelPath::Avx512))
        paths.push_back({"avx512", KernelPath::Avx512, &pack_f32_avx512, &gemm_f32_avx512,
                         &fma_loop_avx512, 16});
#endif
#if defined(__aarch64__)
    if (kernel_path_supported(KernelPath::Neon))
        paths.push_back({"neon", KernelPath::Neon, &pack_f32_neon, &gemm_f32_neon,
                         &fma_loop_neon, 4});
#endif
    return paths;
}

volatile float g_sink;

// GFLOP/s of the FMA loop on a team of `threads`, best of three.
double fma_peak(float (*loop)(int64_t), int lanes, int threads) {
    const int64_t iters = 20000000;
    double best = 0.0;
    for (int rep = 0; rep < 3; ++rep) {
        auto t0 = Clock::now();
#pragma omp parallel num_threads(threads)
        g_sink = loop(iters);
        double s = seconds_since(t0);
        best = std::max(best, double(iters) * kFmaPerIter * lanes * 2.0 * threads / s * 1e-9);
    }
    return best;
}

struct Shape {
    int32_t m, k, n;
    const char* what;
};

// Best GFLOP/s over repeated runs (at least 3, or 0.3 s; one for the slow
// reference path).
double time_gemm(const Path& p, const Shape& s, int threads, const std::vector<float>& a,
                 const std::vector<float>& w, const std::vector<float>& bias) {
    float* bp = p.pack(w.data(), s.n, s.k);
    std::vector<float> y(size_t(s.m) * s.n);
    omp_set_num_threads(threads);
    p.gemm(a.data(), bp, bias.data(), y.data(), false, s.m, s.k, s.n, false);  // warm up
    const double flops = 2.0 * s.m * s.k * s.n;
    const bool slow = p.fma_loop == nullptr;
    double best = 1e30, total = 0.0;
    for (int rep = 0; slow ? rep < 1 : (rep < 3 || total < 0.3); ++rep) {
        auto t0 = Clock::now();
        p.gemm(a.data(), bp, bias.data(), y.data(), false, s.m, s.k, s.n, false);
        double t = seconds_since(t0);
        best = std::min(best, t);
        total += t;
    }
    free_packed_f32(bp);
    return flops / best * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    int max_threads = 2;
    bool with_portable = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            max_threads = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--no-portable") == 0) with_portable = false;
        else {
            std::fprintf(stderr, "usage: %s [--threads N] [--no-portable]\n", argv[0]);
            return 2;
        }
    }
    if (max_threads < 1) max_threads = 1;
    std::vector<int> team_sizes = {1};
    if (max_threads > 1) team_sizes.push_back(max_threads);

    std::vector<Path> paths = available_paths(with_portable);
    // peak[path][team] in GFLOP/s; the portable path is compared with the
    // best vector peak of the same team size.
    std::vector<std::vector<double>> peak(paths.size(),
                                          std::vector<double>(team_sizes.size(), 0.0));
    std::printf("FMA peak (GFLOP/s, single precision)\n");
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!paths[i].fma_loop) continue;
        for (size_t t = 0; t < team_sizes.size(); ++t) {
            peak[i][t] = fma_peak(paths[i].fma_loop, paths[i].lanes, team_sizes[t]);
            std::printf("  %-8s %d thread%s: %8.1f\n", paths[i].name, team_sizes[t],
                        team_sizes[t] > 1 ? "s" : " ", peak[i][t]);
        }
    }
    for (size_t t = 0; t < team_sizes.size(); ++t) {
        double best = 0.0;
        for (size_t i = 0; i < paths.size(); ++i) best = std::max(best, peak[i][t]);
        for (size_t i = 0; i < paths.size(); ++i)
            if (!paths[i].fma_loop) peak[i][t] = best;
    }

    const Shape shapes[] = {
        {3136, 576, 64, "conv 56x56, 3x3x64 -> 64"},
        {784, 1152, 128, "conv 28x28, 3x3x128 -> 128"},
        {196, 2304, 256, "conv 14x14, 3x3x256 -> 256"},
        {1, 2048, 1000, "fully connected 2048 -> 1000"},
    };
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::printf("\ngemm_f32 (GFLOP/s and fraction of the path's FMA peak)\n");
    std::printf("  %-30s %-8s", "shape (M x K x N)", "path");
    for (int t : team_sizes) std::printf("   %d thr  %%peak", t);
    std::printf("\n");
    for (const Shape& s : shapes) {
        std::vector<float> a(size_t(s.m) * s.k), w(size_t(s.n) * s.k), bias(size_t(s.n));
        for (float& v : a) v = dist(rng);
        for (float& v : w) v = dist(rng);
        for (float& v : bias) v = dist(rng);
        char label[64];
        std::snprintf(label, sizeof label, "%d x %d x %d", s.m, s.k, s.n);
        std::printf("  %s\n", s.what);
        for (size_t i = 0; i < paths.size(); ++i) {
            std::printf("  %-30s %-8s", label, paths[i].name);
            for (size_t t = 0; t < team_sizes.size(); ++t) {
                double g = time_gemm(paths[i], s, team_sizes[t], a, w, bias);
                std::printf(" %7.1f %5.1f%%", g, 100.0 * g / peak[i][t]);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    return 0;
}
