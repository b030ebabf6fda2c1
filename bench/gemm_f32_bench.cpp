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

#include <random>
#include <vector>

#include "bench/fma_peak.h"
#include "bench/gemm_bench_harness.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/kernel_path.h"

using namespace vantrel;
using namespace vantrel_bench;

namespace {

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

// GFLOP/s of gemm_f32 on the path.
double time_gemm(const Path& p, const GemmShape& s, int threads, const std::vector<float>& a,
                 const std::vector<float>& w, const std::vector<float>& bias) {
    float* bp = p.pack(w.data(), s.n, s.k);
    std::vector<float> y(size_t(s.m) * s.n);
    omp_set_num_threads(threads);
    const double best = best_seconds(
        [&] { p.gemm(a.data(), bp, bias.data(), y.data(), false, s.m, s.k, s.n, false); },
        p.fma_loop == nullptr);
    free_packed_f32(bp);
    return 2.0 * s.m * s.k * s.n / best * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    BenchArgs args;
    if (!parse_bench_args(argc, argv, args)) return 2;
    const std::vector<int>& team_sizes = args.team_sizes;
    std::vector<Path> paths = available_paths(args.with_portable);
    // peak[path][team] in GFLOP/s.
    const auto peak = measure_peaks(paths, team_sizes, "FMA peak (GFLOP/s, single precision)",
                                    [](const Path& p, int threads) {
                                        return p.fma_loop ? loop_peak(p.fma_loop, kFmaPerIter * p.lanes * 2.0,
                                                                      threads)
                                                          : -1.0;
                                    });

    const GemmShape shapes[] = {
        {3136, 576, 64, "conv 56x56, 3x3x64 -> 64"},
        {197, 384, 1152, "ViT-S token qkv 384 -> 1152"},
        {197, 384, 1536, "ViT-S token mlp 384 -> 1536"},
        {197, 1536, 384, "ViT-S token mlp 1536 -> 384"},
        {784, 1152, 128, "conv 28x28, 3x3x128 -> 128"},
        {196, 2304, 256, "conv 14x14, 3x3x256 -> 256"},
        {3136, 64, 64, "conv 56x56, 1x1 64 -> 64"},
        {3136, 64, 256, "conv 56x56, 1x1 64 -> 256"},
        {3136, 256, 64, "conv 56x56, 1x1 256 -> 64"},
        {49, 4608, 512, "conv 14x14 -> 7x7, 3x3/2 512 -> 512"},
        {12544, 147, 64, "conv 224x224 -> 112x112, 7x7/2 3 -> 64"},
        {1, 2048, 1000, "fully connected 2048 -> 1000"},
    };
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    print_table_head("gemm_f32 (GFLOP/s and fraction of the path's FMA peak)", team_sizes);
    for (const GemmShape& s : shapes) {
        std::vector<float> a(size_t(s.m) * s.k), w(size_t(s.n) * s.k), bias(size_t(s.n));
        for (float& v : a) v = dist(rng);
        for (float& v : w) v = dist(rng);
        for (float& v : bias) v = dist(rng);
        print_shape_rows(s, paths, team_sizes, peak,
                         [&](const Path& p, int threads) { return time_gemm(p, s, threads, a, w, bias); });
    }
    return 0;
}
