#include "kernels/gemm/seq_gemm_w8.h"

#include <omp.h>

#include <algorithm>
#include <cmath>

#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {

float dot_w8_one(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group) {
    float acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int64_t k0 = 0, g = 0; k0 < k; k0 += group, ++g) {
        const int64_t k1 = std::min(k, k0 + group);
        float part[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (int64_t i = k0; i < k1; i += 8)
            for (int64_t l = 0; l < 8; ++l) {
                // Past k1 the vector paths add zero products; so does this.
                const bool in = i + l < k1;
                part[l] = std::fmaf(in ? x[i + l] : 0.0f, in ? float(q[i + l]) : 0.0f, part[l]);
            }
        for (int l = 0; l < 8; ++l) acc[l] = std::fmaf(part[l], scales[g], acc[l]);
    }
    return w8_lane_total(acc);
}

void dot_w8_portable(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group,
                     int tokens, float* out) {
    for (int m = 0; m < tokens; ++m) out[m] = dot_w8_one(x + m * k, q, scales, k, group);
}

}  // namespace

int seq_gemm_w8_team(int64_t nk, int64_t t) {
    const int team = strip_team();  // 1 inside a parallel region or a pool strip
    if (team <= 1) return 1;
    // One token: a team from 64 KiB of codes (a decoding step's key and
    // value products). Its threads stay awake from one product to the next
    // only while the serial work between them is short; a product run alone
    // leaves them asleep, and waking a sleeping team cost some 28 us, more
    // than a step's products of this size take.
    if (t <= 1) return nk >= (int64_t(1) << 16) ? team : 1;
    // More tokens: a team pays for itself from 512 KiB of codes or 2,000,000
    // multiply-adds.
    const bool worth = nk >= (int64_t(1) << 19) || nk >= 2000000 / t;
    return worth ? team : 1;
}

void seq_gemm_w8_rows(const float* x, const int8_t* q, const float* scales, const float* bias,
                      float* y, int32_t t, int32_t k, int32_t n, int32_t group, DotW8Fn dot) {
    if (n <= 0 || t <= 0 || group < 8 || group % 8) return;
    const int64_t T = t, K = k > 0 ? k : 0, N = n, G = group, groups = (K + G - 1) / G;
    const int team = seq_gemm_w8_team(N * K, T);
    // One contiguous range per strip, as many strips as threads; a thread
    // the OS runs late leaves its strip to the others (strip_pool.h).
    run_strips(team, team, [&](int64_t strip, int) {
        const SplitRange r = balanced_split(N, team, int(strip));
        // Blocks of 64 tokens keep their activations in L2 while every row
        // of this thread's range passes over them.
        constexpr int64_t kTokenBlock = 64;
        float out[kW8Tokens];
        for (int64_t m0 = 0; m0 < T; m0 += kTokenBlock) {
            const int64_t m1 = std::min(T, m0 + kTokenBlock);
            for (int64_t o = r.begin; o < r.end; ++o)
                for (int64_t m = m0; m < m1; m += kW8Tokens) {
                    const int tokens = int(std::min<int64_t>(kW8Tokens, m1 - m));
                    dot(x + m * K, q + o * K, scales + o * groups, K, G, tokens, out);
                    for (int i = 0; i < tokens; ++i) y[(m + i) * N + o] = bias ? out[i] + bias[o] : out[i];
                }
        }
    });
}

void seq_gemm_w8_one(const float* x, const int8_t* q, const float* scales, const float* bias,
                     float* y, int32_t k, int32_t n, int32_t group, int block, DotW8RowsFn dot) {
    if (n <= 0 || group < 8 || group % 8 || block < 1) return;
    const int64_t K = k > 0 ? k : 0, N = n, G = group, groups = (K + G - 1) / G;
    const int64_t step = std::min(block, 64);
    const int team = seq_gemm_w8_team(N * K, 1);
    // One contiguous range per strip, as many strips as threads: the
    // kernels prefetch the rows two blocks ahead of the block they run, so
    // a thread that moved on to rows far away (small strips from a shared
    // counter) would wait on memory for the first two blocks of each. A
    // thread the OS runs late leaves its range to the others.
    run_strips(team, team, [&](int64_t strip, int) {
        const SplitRange r = balanced_split(N, team, int(strip));
        float out[64];
        for (int64_t o = r.begin; o < r.end; o += step) {
            const int rows = int(std::min(step, r.end - o));
            dot(x, q + o * K, scales + o * groups, K, G, rows, out);
            for (int i = 0; i < rows; ++i) y[o + i] = bias ? out[i] + bias[o + i] : out[i];
        }
    });
}

void k_seq_gemm_w8_f32(const float* x, const int8_t* q, const float* scales, const float* bias,
                       float* y, int32_t t, int32_t k, int32_t n, int32_t group, void*) {
    seq_gemm_w8_rows(x, q, scales, bias, y, t, k, n, group, &dot_w8_portable);
}

}  // namespace vantrel
