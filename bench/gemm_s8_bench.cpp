// Int8 GEMM benchmark: measures the machine's int8 peak in the same run (a
// loop of independent vpdpbusd, vpmaddwd + vpaddd or sdot steps, on one core
// and on a team of threads), then the GOP/s (2 per multiply-add) of the
// requantising int8 engine on every kernel path this CPU supports, on the
// shapes of typical int8 convolution and fully connected layers, printing
// each result as a fraction of the peak of the path's instruction set.
//
// Build and run:
//   cmake -S . -B build/bench -G Ninja -DVANTREL_BENCH=ON -Wno-dev
//   cmake --build build/bench --target gemm_s8_bench
//   build/bench/bench/gemm_s8_bench [--threads N] [--no-portable]
// (--threads: the largest team measured, default 2.)
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bench/int8_peak.h"
#include "kernels/gemm_s8.h"
#include "kernels/kernel_path.h"
#include "kernels/quantize.h"

using namespace vantrel;
using namespace vantrel_bench;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

using RequantFn = void (*)(const int8_t*, const int8_t*, const int64_t*, const int32_t*,
                           const int32_t*, const float*, int8_t, void*, bool, int32_t, int32_t,
                           int32_t, bool, bool, const int32_t*, void*);

struct Path {
    const char* name;
    RequantFn gemm;
    int32_t (*peak_loop)(int64_t);  // null: compare with the best vector peak
    int macs_per_step;
};

std::vector<Path> available_paths(bool with_portable) {
    std::vector<Path> paths;
    if (with_portable) paths.push_back({"portable", &gemm_s8_requant_portable, nullptr, 0});
#if defined(__x86_64__)
    if (kernel_path_supported(KernelPath::Avx2))
        paths.push_back({"avx2", &gemm_s8_requant_avx2, &madd_loop_avx2, 16});
    if (kernel_path_supported(KernelPath::Avx512))
        paths.push_back({"avx512", &gemm_s8_requant_avx512, &vnni_loop_avx512, 64});
#endif
#if defined(__aarch64__)
    if (kernel_path_supported(KernelPath::Neon))
        paths.push_back({"neon", &gemm_s8_requant_neon, &sdot_loop_neon, 16});
#endif
    return paths;
}

volatile int32_t g_sink;

// GOP/s of the peak loop on a team of `threads`, best of three.
double int8_peak(int32_t (*loop)(int64_t), int macs, int threads) {
    const int64_t iters = 20000000;
    double best = 0.0;
    for (int rep = 0; rep < 3; ++rep) {
        auto t0 = Clock::now();
#pragma omp parallel num_threads(threads)
        g_sink = loop(iters);
        double s = seconds_since(t0);
        best = std::max(best, double(iters) * kInt8PerIter * macs * 2.0 * threads / s * 1e-9);
    }
    return best;
}

struct Shape {
    int32_t m, k, n;
    const char* what;
};

struct Operands {
    std::vector<int8_t> a, w, out;
    std::vector<int64_t> bias;
    std::vector<int32_t> mult, shift;
};

// Best GOP/s over repeated runs (at least 3, or 0.3 s; one for the slow
// reference path).
double time_gemm(const Path& p, const Shape& s, int threads, Operands& o) {
    int8_t* bp = pack_s8(o.w.data(), s.n, s.k);
    omp_set_num_threads(threads);
    auto run = [&] {
        p.gemm(o.a.data(), bp, o.bias.data(), o.mult.data(), o.shift.data(), nullptr, 3,
               o.out.data(), false, s.m, s.k, s.n, false, false, nullptr, nullptr);
    };
    run();  // warm up
    const double ops = 2.0 * s.m * s.k * s.n;
    const bool slow = p.peak_loop == nullptr;
    double best = 1e30, total = 0.0;
    for (int rep = 0; slow ? rep < 1 : (rep < 3 || total < 0.3); ++rep) {
        auto t0 = Clock::now();
        run();
        double t = seconds_since(t0);
        best = std::min(best, t);
        total += t;
    }
    free_packed_s8(bp);
    return ops / best * 1e-9;
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
    std::vector<std::vector<double>> peak(paths.size(),
                                          std::vector<double>(team_sizes.size(), 0.0));
    std::printf("int8 peak (GOP/s, 2 per multiply-add)\n");
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!paths[i].peak_loop) continue;
        for (size_t t = 0; t < team_sizes.size(); ++t) {
            peak[i][t] = int8_peak(paths[i].peak_loop, paths[i].macs_per_step, team_sizes[t]);
            std::printf("  %-8s %d thread%s: %8.1f\n", paths[i].name, team_sizes[t],
                        team_sizes[t] > 1 ? "s" : " ", peak[i][t]);
        }
    }
    for (size_t t = 0; t < team_sizes.size(); ++t) {
        double best = 0.0;
        for (size_t i = 0; i < paths.size(); ++i) best = std::max(best, peak[i][t]);
        for (size_t i = 0; i < paths.size(); ++i)
            if (!paths[i].peak_loop) peak[i][t] = best;
    }

    const Shape shapes[] = {
        {3136, 576, 64, "conv 56x56, 3x3x64 -> 64"},
        {784, 1152, 128, "conv 28x28, 3x3x128 -> 128"},
        {49, 4608, 512, "conv 7x7, 3x3x512 -> 512"},
        {1, 2048, 1000, "fully connected 2048 -> 1000"},
    };
    std::mt19937 rng(7);
    std::printf("\ngemm_s8 requantised to int8 (GOP/s and fraction of the path's int8 peak)\n");
    std::printf("  %-30s %-8s", "shape (M x K x N)", "path");
    for (int t : team_sizes) std::printf("   %d thr  %%peak", t);
    std::printf("\n");
    for (const Shape& s : shapes) {
        Operands o;
        o.a.resize(size_t(s.m) * s.k);
        o.w.resize(size_t(s.n) * s.k);
        o.out.resize(size_t(s.m) * s.n);
        for (int8_t& v : o.a) v = int8_t(rng());
        for (int8_t& v : o.w) v = int8_t(rng());
        for (int32_t c = 0; c < s.n; ++c) {
            const QuantMultiplier q = quantize_multiplier(1.0f / float(s.k * 40 + c));
            o.bias.push_back(int64_t(rng() % 2001) - 1000);
            o.mult.push_back(q.multiplier);
            o.shift.push_back(q.shift);
        }
        char label[64];
        std::snprintf(label, sizeof label, "%d x %d x %d", s.m, s.k, s.n);
        std::printf("  %s\n", s.what);
        for (size_t i = 0; i < paths.size(); ++i) {
            std::printf("  %-30s %-8s", label, paths[i].name);
            for (size_t t = 0; t < team_sizes.size(); ++t) {
                double g = time_gemm(paths[i], s, team_sizes[t], o);
                std::printf(" %7.1f %5.1f%%", g, 100.0 * g / peak[i][t]);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    return 0;
}
