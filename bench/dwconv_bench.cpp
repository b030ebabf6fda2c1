// Float depthwise convolution (groups == channels) on the layers of
// MobileNetV2, MNASNet and EfficientNet: 3x3 and 5x5, stride 1 and 2, pad
// k / 2, bias and ReLU. Input and output are allocated and touched once, so
// the kernel is timed alone (not page faults or input copies). The AVX2 and
// AVX-512 paths run in turn, round after round, so a busy machine slows them
// alike; the fastest round of each is printed, in microseconds and GFLOP/s.
//
// Build and run:
//   cmake -S . -B build/bench -G Ninja -DVANTREL_BENCH=ON -Wno-dev
//   cmake --build build/bench --target dwconv_bench
//   OMP_NUM_THREADS=1 build/bench/bench/dwconv_bench [--rounds R] [--reps N] [--offset F] [--only I]
// (--offset: the tensors start F floats past a 64-byte boundary; default 4,
// where malloc puts large blocks; --only: just shape I, from 0.)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/kernel_path.h"

using namespace vantrel;

namespace {

struct Shape {
    int c, hw, k, stride;
};

using Fn = void (*)(VANTREL_DEPTHWISE_F32_ARGS);

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7, reps = 50, offset = 4, only = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--reps")) reps = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--offset")) offset = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--only")) only = std::atoi(argv[i + 1]);
    }
    const Shape shapes[] = {{144, 56, 3, 1}, {576, 14, 3, 1}, {192, 28, 3, 1}, {32, 112, 3, 1},
                            {96, 112, 3, 2}, {144, 56, 3, 2}, {240, 28, 5, 1}, {672, 14, 5, 1},
                            {144, 56, 5, 2}, {480, 14, 5, 1}, {960, 7, 3, 1}, {1152, 7, 5, 1}, {192, 28, 3, 2}, {240, 28, 5, 2},
                            {22, 17, 3, 1}};
    struct Path {
        const char* name;
        KernelPath id;
        Fn fn;
    };
    std::vector<Path> paths;
#if defined(__x86_64__)
    paths.push_back({"avx2", KernelPath::Avx2, &conv2d_f32_depthwise_avx2});
    paths.push_back({"avx512", KernelPath::Avx512, &conv2d_f32_depthwise_avx512});
#endif
#if defined(__aarch64__)
    paths.push_back({"neon", KernelPath::Neon, &conv2d_f32_depthwise_neon});
#endif
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (const Shape& s : shapes) {
        if (only >= 0 && &s != &shapes[only]) continue;
        const int pad = s.k / 2, oh = (s.hw + 2 * pad - s.k) / s.stride + 1;
        const size_t nin = size_t(s.hw) * s.hw * s.c, nout = size_t(oh) * oh * s.c;
        std::vector<float> in_buf(nin + 32), w(size_t(s.k) * s.k * s.c), b(size_t(s.c)), out_buf(nout + 32);
        auto at_offset = [&](std::vector<float>& v) {
            const uintptr_t a = (reinterpret_cast<uintptr_t>(v.data()) + 63) & ~uintptr_t(63);
            return reinterpret_cast<float*>(a) + offset;
        };
        float *in = at_offset(in_buf), *out = at_offset(out_buf);
        for (size_t i = 0; i < nin; ++i) in[i] = u(rng);
        for (float& v : w) v = u(rng);
        for (float& v : b) v = u(rng);
        const double flop = 2.0 * oh * oh * s.c * s.k * s.k;
        std::vector<double> best(paths.size(), 1e30);
        for (int r = 0; r < rounds; ++r)
            for (size_t p = 0; p < paths.size(); ++p) {
                if (!kernel_path_supported(paths[p].id)) continue;
                auto run = [&] {
                    paths[p].fn(in, w.data(), b.data(), out, s.c, s.hw, s.hw, s.c, s.k, s.k,
                                s.stride, s.stride, pad, pad, 1, 1, true, nullptr);
                };
                run();
                const auto t0 = std::chrono::steady_clock::now();
                for (int i = 0; i < reps; ++i) run();
                const double t =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / reps;
                best[p] = std::min(best[p], t);
            }
        std::printf("c %4d hw %3d k %d s %d:", s.c, s.hw, s.k, s.stride);
        for (size_t p = 0; p < paths.size(); ++p)
            if (best[p] < 1e30)
                std::printf("  %s %8.1f us %6.1f GFLOP/s", paths[p].name, best[p] * 1e6, flop / best[p] * 1e-9);
        std::printf("\n");
    }
    return 0;
}
