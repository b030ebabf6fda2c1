// What the GEMM benchmarks share: the command line, the peak of a loop of
// independent vector steps on a team of threads, the timing of repeated
// runs, and the table of rates against each path's peak.
#pragma once
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vantrel_bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct BenchArgs {
    std::vector<int> team_sizes;  // 1, then --threads N (default 2) when above 1
    bool with_portable = true;
};

// False (after the usage line) on an unknown argument.
inline bool parse_bench_args(int argc, char** argv, BenchArgs& args) {
    int max_threads = 2;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            max_threads = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--no-portable") == 0) args.with_portable = false;
        else {
            std::fprintf(stderr, "usage: %s [--threads N] [--no-portable]\n", argv[0]);
            return false;
        }
    }
    if (max_threads < 1) max_threads = 1;
    args.team_sizes = {1};
    if (max_threads > 1) args.team_sizes.push_back(max_threads);
    return true;
}

// Where the peak loops' results go, so that they are computed.
template <typename R>
inline volatile R g_sink;

// Rate (1e9 ops/s) of `loop` on a team of `threads`, each iteration worth
// ops_per_iter operations per thread; best of three.
template <typename R>
double loop_peak(R (*loop)(int64_t), double ops_per_iter, int threads) {
    const int64_t iters = 20000000;
    double best = 0.0;
    for (int rep = 0; rep < 3; ++rep) {
        auto t0 = Clock::now();
#pragma omp parallel num_threads(threads)
        g_sink<R> = loop(iters);
        double s = seconds_since(t0);
        best = std::max(best, double(iters) * ops_per_iter * threads / s * 1e-9);
    }
    return best;
}

// peak[path][team] from peak_of(path, threads), printed under `title`; a
// path without a peak loop (peak_of < 0: the portable one) is compared with
// the best peak of the same team size.
template <typename P, typename PeakOf>
std::vector<std::vector<double>> measure_peaks(const std::vector<P>& paths, const std::vector<int>& teams,
                                               const char* title, PeakOf peak_of) {
    std::vector<std::vector<double>> peak(paths.size(), std::vector<double>(teams.size(), 0.0));
    std::vector<bool> own(paths.size(), false);
    std::printf("%s\n", title);
    for (size_t i = 0; i < paths.size(); ++i)
        for (size_t t = 0; t < teams.size(); ++t) {
            const double p = peak_of(paths[i], teams[t]);
            if (p < 0) break;
            own[i] = true;
            peak[i][t] = p;
            std::printf("  %-8s %d thread%s: %8.1f\n", paths[i].name, teams[t], teams[t] > 1 ? "s" : " ", p);
        }
    for (size_t t = 0; t < teams.size(); ++t) {
        double best = 0.0;
        for (size_t i = 0; i < paths.size(); ++i) best = std::max(best, peak[i][t]);
        for (size_t i = 0; i < paths.size(); ++i)
            if (!own[i]) peak[i][t] = best;
    }
    return peak;
}

// Best seconds of run() after a warm-up: at least 3 runs or 0.3 s, one for
// a slow reference path.
template <typename Run>
double best_seconds(Run run, bool slow) {
    run();
    double best = 1e30, total = 0.0;
    for (int rep = 0; slow ? rep < 1 : (rep < 3 || total < 0.3); ++rep) {
        auto t0 = Clock::now();
        run();
        double t = seconds_since(t0);
        best = std::min(best, t);
        total += t;
    }
    return best;
}

struct GemmShape {
    int32_t m, k, n;
    const char* what;
};

inline void print_table_head(const char* title, const std::vector<int>& teams) {
    std::printf("\n%s\n", title);
    std::printf("  %-30s %-8s", "shape (M x K x N)", "path");
    for (int t : teams) std::printf("   %d thr  %%peak", t);
    std::printf("\n");
}

// The rows of one shape: rate(path, threads) per team and its fraction of
// the path's peak.
template <typename P, typename Rate>
void print_shape_rows(const GemmShape& s, const std::vector<P>& paths, const std::vector<int>& teams,
                      const std::vector<std::vector<double>>& peak, Rate rate) {
    char label[64];
    std::snprintf(label, sizeof label, "%d x %d x %d", s.m, s.k, s.n);
    std::printf("  %s\n", s.what);
    for (size_t i = 0; i < paths.size(); ++i) {
        std::printf("  %-30s %-8s", label, paths[i].name);
        for (size_t t = 0; t < teams.size(); ++t) {
            double g = rate(paths[i], teams[t]);
            std::printf(" %7.1f %5.1f%%", g, 100.0 * g / peak[i][t]);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
}

}  // namespace vantrel_bench
