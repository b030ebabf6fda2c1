// The strip pool against an OpenMP team taking the same strips: one pass
// over ResNet-50's convolutions (im2col GEMM, 224 x 224 input, the 7x7 stem
// and the classifier included) with each, alternating pass by pass, so a
// busy machine slows both alike. Printed: each one's median and 90th
// percentile pass in milliseconds, and the pool's over OpenMP's.
// --competitor forks a process that spins on one core for the whole run, as
// another program on the machine would; --gap-us N sleeps N microseconds
// between layers (the time the rest of a network takes), so workers that
// spin only briefly are asleep when the next layer starts.
//
// Build and run:
//   cmake -S . -B build/bench -G Ninja -DVANTREL_BENCH=ON -Wno-dev
//   cmake --build build/bench --target strip_pool_bench
//   build/bench/bench/strip_pool_bench [--threads N] [--rounds R] [--competitor 1] [--gap-us N]

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "bench/conv_bench_setup.h"
#include "kernels/conv/conv2d_f32.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/parallel/strip_pool.h"

using namespace vantrel;

namespace {

struct Layer {
    int cin, hw, cout, k, stride;
};

// ResNet-50 (v1.5: the stride on the 3x3), input 224 x 224.
std::vector<Layer> resnet50_layers() {
    std::vector<Layer> l = {{3, 224, 64, 7, 2}};
    const int widths[4] = {64, 128, 256, 512}, blocks[4] = {3, 4, 6, 3};
    int cin = 64, hw = 56;
    for (int s = 0; s < 4; ++s) {
        const int w = widths[s], out = 4 * w;
        for (int b = 0; b < blocks[s]; ++b) {
            const int stride = (s > 0 && b == 0) ? 2 : 1;
            l.push_back({cin, hw, w, 1, 1});
            l.push_back({w, hw, w, 3, stride});
            const int ohw = hw / stride;
            l.push_back({w, ohw, out, 1, 1});
            if (b == 0) l.push_back({cin, hw, out, 1, stride});  // the shortcut
            cin = out;
            hw = ohw;
        }
    }
    l.push_back({2048, 1, 1000, 1, 1});  // the classifier
    return l;
}

struct Prepared {
    Layer s;
    std::vector<float> x, w, bias, y;
    float* bp;
};

double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[size_t(q * double(v.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
    const vantrel_bench::ConvBenchArgs args = vantrel_bench::conv_bench_setup(argc, argv);
    bool competitor = false;
    int gap_us = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--competitor")) competitor = std::atoi(argv[i + 1]) != 0;
        if (!std::strcmp(argv[i], "--gap-us")) gap_us = std::atoi(argv[i + 1]);
    }
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<Prepared> net;
    for (const Layer& s : resnet50_layers()) {
        Prepared p{s, {}, {}, {}, {}, nullptr};
        const int taps = s.k * s.k, ohw = (s.hw + 2 * (s.k / 2) - s.k) / s.stride + 1;
        p.x.resize(size_t(s.hw) * s.hw * s.cin);
        p.w.resize(size_t(s.cout) * s.cin * taps);
        p.bias.resize(size_t(s.cout));
        p.y.resize(size_t(ohw) * ohw * s.cout);
        for (float& v : p.x) v = dist(rng);
        for (float& v : p.w) v = dist(rng) * 0.05f;
        for (float& v : p.bias) v = dist(rng);
        std::vector<float> r(p.w.size());
        reorder_conv_weights_taps(p.w.data(), r.data(), s.cout, s.cin, taps);
        p.bp = pack_f32(r.data(), s.cout, taps * s.cin);
        net.push_back(std::move(p));
    }
    auto pass = [&] {
        for (Prepared& p : net) {
            const Layer& s = p.s;
            const int pad = s.k / 2;
            conv2d_f32_epi(p.x.data(), p.w.data(), p.bias.data(), p.y.data(), s.cin, s.hw, s.hw, s.cout, s.k, s.k,
                           s.stride, s.stride, pad, pad, true, p.bp, nullptr, 1, 1, nullptr);
            if (gap_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
        }
    };
    pid_t spinner = 0;
    if (competitor) {
        spinner = fork();
        if (spinner == 0) {
            for (volatile unsigned long i = 0;; i = i + 1) {
            }
        }
    }
    std::printf("%zu layers%s, gap %d us\n", net.size(), competitor ? ", one spinning competitor" : "", gap_us);
    for (bool on : {true, false}) {  // warm both
        set_strip_pool_enabled(on);
        pass();
    }
    std::vector<double> pool, omp;
    for (int r = 0; r < args.rounds; ++r) {
        for (bool on : {r % 2 == 0, r % 2 != 0}) {
            set_strip_pool_enabled(on);
            (on ? pool : omp).push_back(vantrel_bench::seconds(pass) * 1e3);
        }
    }
    if (spinner > 0) {
        kill(spinner, SIGKILL);
        waitpid(spinner, nullptr, 0);
    }
    const double p50 = quantile(pool, 0.5), p90 = quantile(pool, 0.9);
    const double o50 = quantile(omp, 0.5), o90 = quantile(omp, 0.9);
    std::printf("%-8s %9s %9s\n", "", "p50", "p90");
    std::printf("%-8s %9.2f %9.2f\n%-8s %9.2f %9.2f\n", "pool", p50, p90, "openmp", o50, o90);
    std::printf("%-8s %9.3f %9.3f\n", "ratio", p50 / o50, p90 / o90);
    for (Prepared& p : net) free_packed_f32(p.bp);
    return 0;
}
