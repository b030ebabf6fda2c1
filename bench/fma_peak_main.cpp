// The single-precision FMA peak of one instruction set on a team of
// threads, for benchmarks written in Python (bench/conv_layers_bench.py)
// to measure in the same run as their timings.
//
//   build/bench/bench/fma_peak [--path avx2|avx512|neon] [--threads N]
//
// Prints one line: "<path> <threads> <GFLOP/s>". Without --path the widest
// path this CPU runs is used. Needs no engine library: the caller says
// which path its engine runs (model_inference._kernel_path()).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/fma_peak.h"
#include "bench/gemm_bench_harness.h"

using namespace vantrel_bench;

namespace {

struct Loop {
    const char* name;
    float (*fn)(int64_t);
    int lanes;
    bool supported;
};

const Loop kLoops[] = {
#if defined(__x86_64__)
    {"avx512", &fma_loop_avx512, 16,
     __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")},
    {"avx2", &fma_loop_avx2, 8, __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")},
#endif
#if defined(__aarch64__)
    {"neon", &fma_loop_neon, 4, true},
#endif
};

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    int threads = 2;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--path") == 0 && i + 1 < argc) path = argv[++i];
        else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) threads = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--path avx2|avx512|neon] [--threads N]\n", argv[0]);
            return 2;
        }
    }
    if (threads < 1) threads = 1;
    for (const Loop& l : kLoops) {
        if (!l.supported || (!path.empty() && path != l.name)) continue;
        const double peak = loop_peak(l.fn, kFmaPerIter * l.lanes * 2.0, threads);
        std::printf("%s %d %.1f\n", l.name, threads, peak);
        return 0;
    }
    std::fprintf(stderr, "fma_peak: no peak loop for path '%s' on this CPU\n",
                 path.empty() ? "(any)" : path.c_str());
    return 1;
}
