// Causal attention with a key/value cache at SmolLM2-135M's grouping (9
// query and 3 key/value heads of 64): the prefill of T tokens from an empty
// cache, and one-token steps at a given context, on every kernel path this
// machine runs. Times are the calling thread's CPU time per call on one
// thread (so a busy machine inflates them little), and wall time on the
// whole team.
//
//     causal_attention_bench [prefill_tokens] [context] [rounds] [path]
#include <omp.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kernels/attention/causal_attention_f32.h"
#include "kernels/kernel_path.h"

namespace {

using Fn = decltype(&vantrel::k_causal_attention_f32);

double thread_cpu_s() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

double wall_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

float* line_aligned(float* p) {
    return reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(p) + 63) & ~uintptr_t(63));
}

struct Case {
    int tokens, position;
};

// Best of `rounds` calls of `fn` on `c` by the clock `now`. A step runs
// over 30 caches in turn, as a 30-layer model does, so its keys and values
// come from memory rather than from a warm cache; its time is per call.
double best_call(Fn fn, Case c, int rounds, double (*now)()) {
    const int copies = c.tokens == 1 ? 30 : 1;
    const int hq = 9, hkv = 3, d = 64, cap = c.position + c.tokens;
    std::mt19937 rng(7);
    std::normal_distribution<float> nd;
    auto randn = [&](size_t n) {
        std::vector<float> x(n);
        for (float& e : x) e = nd(rng);
        return x;
    };
    const std::vector<float> q = randn(size_t(c.tokens) * hq * d), k = randn(size_t(c.tokens) * hkv * d),
                             v = randn(size_t(c.tokens) * hkv * d);
    std::vector<std::vector<float>> caches;
    // Each cache starts on a 64-byte line, as the engine's allocator places it.
    for (int i = 0; i < copies; ++i) caches.push_back(randn(size_t(2) * cap * hkv * d + 16));
    std::vector<float> out(q.size());
    std::vector<float> work(size_t(vantrel::causal_attention_work_floats(c.tokens, c.position, hq, hkv, d)));
    double best = 1e30;
    for (int r = 0; r <= rounds; ++r) {  // round 0 warms up
        const double t0 = now();
        for (std::vector<float>& cache : caches)
            fn(q.data(), k.data(), v.data(), line_aligned(cache.data()), c.position, cap, out.data(), c.tokens, 100000.0f, hq,
               hkv, d, c.position, 1, work.data(), nullptr);
        const double t = (now() - t0) / copies;
        if (r > 0 && t < best) best = t;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int prefill = argc > 1 ? std::atoi(argv[1]) : 512;
    const int context = argc > 2 ? std::atoi(argv[2]) : 1024;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    std::vector<std::pair<std::string, Fn>> paths = {{"portable", &vantrel::k_causal_attention_f32}};
#if defined(__x86_64__)
    if (vantrel::kernel_path_supported(vantrel::KernelPath::Avx2)) paths.push_back({"avx2", &vantrel::k_causal_attention_f32_avx2});
    if (vantrel::kernel_path_supported(vantrel::KernelPath::Avx512))
        paths.push_back({"avx512", &vantrel::k_causal_attention_f32_avx512});
#elif defined(__aarch64__)
    paths.push_back({"neon", &vantrel::k_causal_attention_f32_neon});
#endif
    if (argc > 4)  // one path alone, e.g. for a profiler
        for (size_t i = paths.size(); i-- > 0;)
            if (paths[i].first != argv[4]) paths.erase(paths.begin() + int64_t(i));
    const int team = omp_get_max_threads();
    std::printf("%-9s %-22s %12s %12s\n", "path", "case", "cpu 1 thr", "wall team");
    for (const auto& [name, fn] : paths)
        for (const Case c : {Case{prefill, 0}, Case{1, context}}) {
            omp_set_num_threads(1);
            const double cpu = best_call(fn, c, rounds, thread_cpu_s);
            omp_set_num_threads(team);
            const double wall = best_call(fn, c, rounds, wall_s);
            const std::string what = c.position == 0 ? "prefill " + std::to_string(c.tokens)
                                                      : "step at " + std::to_string(c.position);
            std::printf("%-9s %-22s %9.3f ms %9.3f ms\n", name.c_str(), what.c_str(), cpu * 1e3, wall * 1e3);
        }
    return 0;
}
