// Driver of the causal attention kernel, shared by every path. A path
// supplies three primitives whose order of operations is fixed in
// causal_attention_f32.h:
//   Ops::rope(x, cos, sin, half)                    rotate one head in place
//   Ops::scores(q, keys, stride, n, d, scale, s)     s[j] = scale * dot(q, key j)
//   Ops::weighted_sum(w, vals, stride, n, d, o)     o[c] = Σ_j w[j] * val_j[c]
// Everything else (gather, tables, cache append, softmax, threading) is this
// one scalar code, so the paths differ only where their order is pinned.
//
// Everything sits in an unnamed namespace: files built with different
// instruction sets include this header, and each must keep its own copy.
#pragma once
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/quantize.h"

namespace vantrel {
namespace {

// Below this many multiply-adds a team costs more than it saves.
constexpr double kCausalParallelWork = 65536.0;

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
    for (int64_t t = 0; t < T; ++t) {
        std::memcpy(kc + (p0 + t) * kw, rows + t * W + qw, size_t(kw) * sizeof(float));
        std::memcpy(vc + (p0 + t) * kw, v + t * kw, size_t(kw) * sizeof(float));
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
            Ops::scores(qv, kc + g * d, kw, n, d, scale, s);
            float m = s[0];
            for (int64_t j = 1; j < n; ++j) m = s[j] > m ? s[j] : m;
            float sum = 0.0f;
            for (int64_t j = 0; j < n; ++j) {
                s[j] = expf(s[j] - m);
                sum = sum + s[j];
            }
            const float inv = 1.0f / sum;
            for (int64_t j = 0; j < n; ++j) s[j] = s[j] * inv;
            Ops::weighted_sum(s, vc + g * d, kw, n, d, o);
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
