// Set-up shared by the convolution kernel benchmarks: the options
// --threads N (team size, default 2) and --rounds R (default 15), the
// OpenMP team, the kernel tables for VANTREL_KERNEL_PATH, and the opening
// line naming them.
#pragma once
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/cpu_backend/cpu_backend.h"
#include "kernels/kernel_path.h"

namespace vantrel_bench {

struct ConvBenchArgs {
    int threads = 2, rounds = 15;
};

inline ConvBenchArgs conv_bench_setup(int argc, char** argv) {
    ConvBenchArgs a;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--threads")) a.threads = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rounds")) a.rounds = std::atoi(argv[i + 1]);
    }
    a.threads = std::max(a.threads, 1);
    omp_set_num_threads(a.threads);
    vantrel::cpu_backend();
    std::printf("kernel path %s, %d threads, fastest of %d rounds (ms)\n",
                vantrel::kernel_path_name(vantrel::active_kernel_path()), a.threads, a.rounds);
    return a;
}

// Seconds one call of fn takes.
template <class Fn>
double seconds(Fn&& fn) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace vantrel_bench
