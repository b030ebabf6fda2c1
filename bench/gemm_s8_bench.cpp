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
//   build/bench/bench/gemm_s8_bench [--threads N] [--no-portable] [--cold]
// (--threads: the largest team measured, default 2; --cold: every run reads
// another copy of the weights, as a layer of a network pass does.)
#include <omp.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench/gemm_bench_harness.h"
#include "bench/int8_peak.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/kernel_path.h"
#include "kernels/quantize.h"

using namespace vantrel;
using namespace vantrel_bench;

namespace {

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

struct Operands {
    std::vector<int8_t> a, w, out;
    std::vector<int64_t> bias;
    std::vector<int32_t> mult, shift;
};

bool cold_weights = false;

// GOP/s of the requantising engine on the path.
double time_gemm(const Path& p, const GemmShape& s, int threads, Operands& o) {
    // --cold: each run reads another copy of the weights, 96 MiB of them in
    // all, so that they come from memory as in a network's pass.
    const size_t copies = cold_weights ? 1 + (96u << 20) / packed_s8_bytes(s.n, s.k) : 1;
    std::vector<int8_t*> bps;
    for (size_t i = 0; i < copies; ++i) bps.push_back(pack_s8(o.w.data(), s.n, s.k));
    size_t next = 0;
    omp_set_num_threads(threads);
    const double best = best_seconds(
        [&] {
            int8_t* bp = bps[next++ % copies];
            p.gemm(o.a.data(), bp, o.bias.data(), o.mult.data(), o.shift.data(), nullptr, 3,
                   o.out.data(), false, s.m, s.k, s.n, false, false, nullptr, nullptr);
        },
        p.peak_loop == nullptr);
    for (int8_t* bp : bps) free_packed_s8(bp);
    return 2.0 * s.m * s.k * s.n / best * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    BenchArgs args;
    // --cold is this benchmark's own; the harness parses the rest.
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strcmp(argv[i], "--cold") == 0) cold_weights = true;
        else rest.push_back(argv[i]);
    }
    if (!parse_bench_args(int(rest.size()), rest.data(), args)) return 2;
    const std::vector<int>& team_sizes = args.team_sizes;
    std::vector<Path> paths = available_paths(args.with_portable);
    const auto peak = measure_peaks(paths, team_sizes, "int8 peak (GOP/s, 2 per multiply-add)",
                                    [](const Path& p, int threads) {
                                        return p.peak_loop ? loop_peak(p.peak_loop,
                                                                       kInt8PerIter * p.macs_per_step * 2.0,
                                                                       threads)
                                                           : -1.0;
                                    });

    const GemmShape shapes[] = {
        {3136, 576, 64, "conv 56x56, 3x3x64 -> 64"},
        {12544, 147, 64, "conv 112x112, 7x7x3 -> 64"},
        {12544, 16, 96, "conv 112x112, 1x1 16 -> 96"},
        {3136, 24, 144, "conv 56x56, 1x1 24 -> 144"},
        {3136, 64, 256, "conv 56x56, 1x1 64 -> 256"},
        {3136, 256, 64, "conv 56x56, 1x1 256 -> 64"},
        {49, 512, 2048, "conv 7x7, 1x1 512 -> 2048"},
        {197, 384, 1152, "ViT-S token qkv 384 -> 1152"},
        {197, 384, 1536, "ViT-S token mlp 384 -> 1536"},
        {197, 1536, 384, "ViT-S token mlp 1536 -> 384"},
        {784, 1152, 128, "conv 28x28, 3x3x128 -> 128"},
        {49, 4608, 512, "conv 7x7, 3x3x512 -> 512"},
        {1, 2048, 1000, "fully connected 2048 -> 1000"},
    };
    std::mt19937 rng(7);
    print_table_head("gemm_s8 requantised to int8 (GOP/s and fraction of the path's int8 peak)",
                     team_sizes);
    for (const GemmShape& s : shapes) {
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
        print_shape_rows(s, paths, team_sizes, peak,
                         [&](const Path& p, int threads) { return time_gemm(p, s, threads, o); });
    }
    return 0;
}
