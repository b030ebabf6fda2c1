// The products of one decoding step of a SmolLM2-135M-shaped decoder (30
// layers, width 576, 3 key/value heads of 64, FFN 1536, vocabulary 49152),
// without the graph around them: weight-only int8 (group 32) and packed
// float32, one token, on the AVX-512 path. Between the products, busy waits
// stand in for the rest of a step: serial ones for the norms and
// elementwise ops, one on every thread of a team for the attention (which
// runs on the team from a context of about 120), so the team's wake-ups are
// paid as in a real step.
//
//     decode_step_bench [steps] [attention_us]
//
// Prints ms per step without the waits and the weight bytes read per
// second; compare with a stream copy of the same machine
// (bench/decoder_bench.py prints one).
#include <omp.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/seq_gemm_f32.h"
#include "kernels/gemm/seq_gemm_w8.h"

namespace {

using Clock = std::chrono::steady_clock;

// A product of n rows by k, after `serial` us of work on one thread and
// `team` us on every thread of a team.
struct Product {
    int32_t n, k;
    double serial, team;
};

std::vector<Product> step_products(double attention) {
    const int32_t d = 576, kv = 192, f = 1536, vocab = 49152;
    std::vector<Product> p;
    for (int l = 0; l < 30; ++l)
        for (Product x : {Product{d, d, 2, 0}, Product{kv, d, 0.5, 0}, Product{kv, d, 0.5, 0},
                          Product{d, d, 0.5, attention}, Product{f, d, 2, 0}, Product{f, d, 0.5, 0},
                          Product{d, f, 0.5, 0}})
            p.push_back(x);
    p.push_back({vocab, d, 3, 0});
    return p;
}

void pause_us(double us) {
    const auto t0 = Clock::now();
    while (std::chrono::duration<double, std::micro>(Clock::now() - t0).count() < us) {
    }
}

template <class Run>
double best_step_ms(int steps, Run run) {
    run();
    double best = 1e30;
    for (int s = 0; s < steps; ++s) {
        const auto t0 = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantrel;
    const int steps = argc > 1 ? std::atoi(argv[1]) : 20;
    const double attention = argc > 2 ? std::atof(argv[2]) : 10.0;
    const std::vector<Product> prods = step_products(attention);
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> code(-127, 127);
    std::uniform_real_distribution<float> val(-1.0f, 1.0f);
    const int32_t group = 32;

    struct W8 {
        std::vector<int8_t> q;
        std::vector<float> s;
    };
    std::vector<W8> w8(prods.size());
    std::vector<float*> packed(prods.size());
    int64_t w8_bytes = 0, f32_bytes = 0;
    for (size_t i = 0; i < prods.size(); ++i) {
        const int64_t nk = int64_t(prods[i].n) * prods[i].k, groups = (prods[i].k + group - 1) / group;
        w8[i].q.resize(size_t(nk));
        for (auto& c : w8[i].q) c = int8_t(code(rng));
        w8[i].s.assign(size_t(prods[i].n * groups), 0.01f);
        std::vector<float> w(static_cast<size_t>(nk));
        for (auto& v : w) v = val(rng) * 0.05f;
        packed[i] = pack_f32_avx512(w.data(), prods[i].n, prods[i].k);
        w8_bytes += nk + int64_t(w8[i].s.size()) * 4;
        f32_bytes += nk * 4;
    }
    std::vector<float> x(1536, 0.5f), y(49152);

    auto wait = [&](const Product& p) {
        pause_us(p.serial);
        if (p.team > 0) {
#pragma omp parallel
            pause_us(p.team / omp_get_num_threads());
        }
    };
    double waits = 0.0;
    for (const Product& p : prods) waits += (p.serial + p.team / omp_get_max_threads()) * 1e-3;
    auto run_w8 = [&] {
        for (size_t i = 0; i < prods.size(); ++i) {
            wait(prods[i]);
            k_seq_gemm_w8_f32_avx512(x.data(), w8[i].q.data(), w8[i].s.data(), nullptr, y.data(), 1, prods[i].k,
                                     prods[i].n, group, nullptr);
        }
    };
    auto run_f32 = [&] {
        for (size_t i = 0; i < prods.size(); ++i) {
            wait(prods[i]);
            k_seq_gemm_f32_avx512(x.data(), nullptr, nullptr, y.data(), 1, prods[i].k, prods[i].n, false, packed[i],
                                  nullptr);
        }
    };
    for (int rep = 0; rep < 3; ++rep) {
        const double a = best_step_ms(steps, run_w8) - waits;
        const double b = best_step_ms(steps, run_f32) - waits;
        std::printf("threads %d  w8: %.3f ms/step %.1f GB/s   f32: %.3f ms/step %.1f GB/s   (waits %.2f ms excluded)\n",
                    omp_get_max_threads(), a, w8_bytes / a * 1e-6, b, f32_bytes / b * 1e-6, waits);
    }
    for (float* p : packed) free_packed_f32(p);
    return 0;
}
