// Driver of the causal attention kernel, shared by every path. A path
// supplies three primitives whose order of operations is fixed in
// causal_attention_f32.h:
//   Ops::rope(x, cos, sin, half)                    rotate one head in place
//   Ops::scores(q, keys, stride, n, d, scale, s)     s[j] = scale * dot(q, key j)
//   Ops::weighted_sum(w, vals, stride, n, d, o)     o[c] = Σ_j w[j] * val_j[c]
// Everything else (gather, tables, cache append, softmax, threading) is this
// one scalar code, so the paths differ only where their order is pinned.
// CausalOpsLanes<Ln> is the vector form of the three on a lane struct
// (lanes_f32_*.h) of at most eight lanes that also has hsum8(a), the portable
// eight-lane sum of the 8 / L registers a[0 .. 8/L).
//
// Everything sits in an unnamed namespace: files built with different
// instruction sets include this header, and each must keep its own copy.
#pragma once
#include <math.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/simd/lanes_f32_weighted.h"
#include "kernels/quantize.h"

namespace vantrel {
namespace {

// Below this many multiply-adds a team costs more than it saves.
constexpr double kCausalParallelWork = 65536.0;

template <class Ln>
struct CausalOpsLanes {
    using V = typename Ln::V;
    static constexpr int64_t L = Ln::L;
    static_assert(L <= 8 && 8 % L == 0, "a dot product's eight lanes fill whole registers");
    static constexpr int K = int(8 / L);  // registers per eight features

    static void rope(float* x, const float* cs, const float* sn, int64_t half) {
        float* y = x + half;
        int64_t i = 0;
        for (; i + L <= half; i += L) {
            const V a = Ln::load(x + i), b = Ln::load(y + i);
            const V c = Ln::load(cs + i), s = Ln::load(sn + i);
            Ln::store(x + i, Ln::fnmadd(s, b, Ln::mul(c, a)));
            Ln::store(y + i, Ln::fmadd(s, a, Ln::mul(c, b)));
        }
        for (; i < half; ++i) {
            const float a = x[i], b = y[i];
            x[i] = fmaf(-sn[i], b, cs[i] * a);
            y[i] = fmaf(sn[i], a, cs[i] * b);
        }
    }

    // Scores of keys j .. j+B-1, each the portable eight-lane dot product.
    template <int B>
    static void score_keys(const float* q, const float* keys, int64_t stride, int64_t j, int64_t d,
                           float scale, float* s) {
        const int64_t d8 = d / 8 * 8;
        V a[B][K];
        for (int b = 0; b < B; ++b)
            for (int e = 0; e < K; ++e) a[b][e] = Ln::zero();
        for (int64_t c = 0; c < d8; c += 8)
            for (int e = 0; e < K; ++e) {
                const V qv = Ln::load(q + c + e * L);
                for (int b = 0; b < B; ++b)
                    a[b][e] = Ln::fmadd(qv, Ln::load(keys + (j + b) * stride + c + e * L), a[b][e]);
            }
        for (int b = 0; b < B; ++b) {
            const float* kr = keys + (j + b) * stride;
            float r = Ln::hsum8(a[b]);
            for (int64_t c = d8; c < d; ++c) r = fmaf(q[c], kr[c], r);
            s[j + b] = scale * r;
        }
    }

    static void scores(const float* q, const float* keys, int64_t stride, int64_t n, int64_t d,
                       float scale, float* s) {
        // Enough keys at a time for eight independent multiply-add chains:
        // fewer leave the fma units waiting on each chain's latency.
        constexpr int B = 8 / K;
        int64_t j = 0;
        for (; j + B <= n; j += B) score_keys<B>(q, keys, stride, j, d, scale, s);
        for (; j < n; ++j) score_keys<1>(q, keys, stride, j, d, scale, s);
    }

    static void weighted_sum(const float* w, const float* vals, int64_t stride, int64_t n,
                             int64_t d, float* o) {
        lanes_weighted_columns<Ln, false>(o, 0.0f, w, vals, stride, n, d);
    }
};

template <class Ops>
void causal_attention_run(const float* q, const float* k, const float* v, float* kv_cache,
                          int32_t cache_position, int32_t capacity, float* out, int32_t tokens,
                          float rope_theta, int32_t num_q_heads, int32_t num_kv_heads,
                          int32_t head_dim, int32_t rope_position, float* work) {
    if (tokens <= 0 || num_q_heads <= 0 || num_kv_heads <= 0 || head_dim <= 0 || cache_position < 0 ||
        capacity <= 0 || num_q_heads % num_kv_heads != 0)
        return;
    if (int64_t(cache_position) + tokens > capacity) return;
    if (!q || !k || !v || !kv_cache || !out || !work) return;

    const int64_t T = tokens, Hq = num_q_heads, Hkv = num_kv_heads, d = head_dim;
    const int64_t p0 = cache_position, cap = capacity;
    const int64_t qw = Hq * d, kw = Hkv * d, W = qw + kw;
    const int64_t visible_max = p0 + T;
    float* rows = work;                        // [T][W] rotated query then key
    float* scores = rows + T * W;              // [T*Hq][p0 + T]
    float* table = scores + T * Hq * visible_max;  // freq, cos, sin: d/2 each

    for (int64_t t = 0; t < T; ++t) {
        std::memcpy(rows + t * W, q + t * qw, size_t(qw) * sizeof(float));
        std::memcpy(rows + t * W + qw, k + t * kw, size_t(kw) * sizeof(float));
    }

    if (d >= 2) {
        const int64_t half = d / 2;
        float* freq = table;
        float* cs = table + half;
        float* sn = table + 2 * half;
        const float inv_d = 1.0f / float(d);
        // The frequencies depend on i alone; computing them once per call
        // gives the same values as once per head.
        for (int64_t i = 0; i < half; ++i) freq[i] = powf(rope_theta, -float(2 * i) * inv_d);
        for (int64_t t = 0; t < T; ++t) {
            const float p = float(int64_t(rope_position) + t);
            for (int64_t i = 0; i < half; ++i) sincosf(freq[i] * p, &sn[i], &cs[i]);
            float* row = rows + t * W;
            for (int64_t h = 0; h < Hq + Hkv; ++h) Ops::rope(row + h * d, cs, sn, half);
        }
    }

    float* kc = kv_cache;
    float* vc = kv_cache + cap * kw;
    for (int64_t t = 0; t < T; ++t)
        for (int64_t g = 0; g < Hkv; ++g) {
            const int64_t at = (g * cap + p0 + t) * d;
            std::memcpy(kc + at, rows + t * W + qw + g * d, size_t(d) * sizeof(float));
            std::memcpy(vc + at, v + t * kw + g * d, size_t(d) * sizeof(float));
        }

    const int64_t group = Hq / Hkv;
    const float scale = 1.0f / sqrtf(float(d));
    const int64_t items = T * Hq;

    auto run_items = [&](int64_t begin, int64_t end) {
        for (int64_t it = begin; it < end; ++it) {
            const int64_t t = it / Hq, h = it % Hq, g = h / group;
            const float* qv = rows + t * W + h * d;
            float* o = out + t * qw + h * d;
            float* s = scores + it * visible_max;
            const int64_t n = p0 + t + 1;
            if (n <= 0) {
                std::memset(o, 0, size_t(d) * sizeof(float));
                continue;
            }
            Ops::scores(qv, kc + g * cap * d, d, n, d, scale, s);
            float m = s[0];
            for (int64_t j = 1; j < n; ++j) m = s[j] > m ? s[j] : m;
            float sum = 0.0f;
            for (int64_t j = 0; j < n; ++j) {
                s[j] = expf(s[j] - m);
                sum = sum + s[j];
            }
            const float inv = 1.0f / sum;
            for (int64_t j = 0; j < n; ++j) s[j] = s[j] * inv;
            Ops::weighted_sum(s, vc + g * cap * d, d, n, d, o);
        }
    };

    const double cost = double(items) * double(p0 + (T + 1) / 2) * double(d);
    if (items < 2 || cost < kCausalParallelWork || omp_in_parallel() || omp_get_max_threads() <= 1) {
        run_items(0, items);
        return;
    }
#pragma omp parallel num_threads(omp_get_max_threads())
    {
        // The team may be smaller than asked; split over its actual size.
        const SplitRange r = balanced_split(items, omp_get_num_threads(), omp_get_thread_num());
        if (r.begin < r.end) run_items(r.begin, r.end);
    }
}

}  // namespace
}  // namespace vantrel
