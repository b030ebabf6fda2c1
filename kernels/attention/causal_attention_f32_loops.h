// Driver of the causal attention kernel, shared by every path. A path
// supplies five primitives whose order of operations is fixed in
// causal_attention_f32.h; scores and weighted_sum take nq query rows that
// share the keys and values (query i's rows at q + i*qstride, s + i*sstride,
// w + i*wstride, o + i*ostride):
//   Ops::rope(x, cos, sin, half)        rotate one head in place
//   Ops::scores(q, qstride, nq, keys, stride, n, d, scale, s, sstride, streamed)
//                                       s_i[j] = scale * dot(q_i, key j);
//                                       streamed: the keys come from memory
//                                       (a one-token step), not from cache
//   Ops::weighted_sum(w, wstride, nq, vals, stride, n, d, o, ostride)
//                                       o_i[c] = Σ_j w_i[j] * val_j[c]
//   Ops::row_max(s, n)                  m = s[0], then m = s[j] > m ? s[j] : m
//   Ops::sum(e, n)                      Σ_j e[j] in eight lanes
// Everything else (gather, tables, cache append, the softmax's exponentials,
// the work split) is this one scalar code, so the paths differ only where
// their order is pinned. CausalOpsLanes<Ln, LnW> is the vector form: Ln is a
// lane struct (lanes_f32_*.h) of at most eight lanes that also has hsum8(a),
// the portable eight-lane sum of the 8 / L registers a[0 .. 8/L),
// hsum8x4_scaled (four such sums times a scale) and row_max; LnW, any lane
// struct, runs the weighted sums (their columns are independent chains, so
// any width gives the same bits).
//
// Everything sits in an unnamed namespace: files built with different
// instruction sets include this header, and each must keep its own copy.
#pragma once
#include <math.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/parallel/strip_pool.h"
#include "kernels/simd/lanes_f32_weighted.h"
#include "kernels/quantize.h"

namespace vantrel {
namespace {

// Below this many multiply-adds a team costs more than it saves.
constexpr double kCausalParallelWork = 65536.0;

template <class Ln, class LnW = Ln>
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

    // Scores of keys j .. j+B-1 for queries 0 .. Q-1 (rows qstride apart),
    // each the portable eight-lane dot product. The queries share every key
    // load.
    template <int Q, int B>
    __attribute__((always_inline)) static inline void score_keys(const float* q, int64_t qstride,
                                                                 const float* keys, int64_t stride, int64_t j,
                                                                 int64_t d, float scale, float* s,
                                                                 int64_t sstride) {
        const int64_t d8 = d / 8 * 8;
        V a[Q][B][K];
        for (int i = 0; i < Q; ++i)
            for (int b = 0; b < B; ++b)
                for (int e = 0; e < K; ++e) a[i][b][e] = Ln::zero();
        for (int64_t c = 0; c < d8; c += 8)
            for (int e = 0; e < K; ++e) {
                V kv[B];
                for (int b = 0; b < B; ++b) kv[b] = Ln::load(keys + (j + b) * stride + c + e * L);
                for (int i = 0; i < Q; ++i) {
                    const V qv = Ln::load(q + i * qstride + c + e * L);
                    for (int b = 0; b < B; ++b) a[i][b][e] = Ln::fmadd(qv, kv[b], a[i][b][e]);
                }
            }
        for (int i = 0; i < Q; ++i) {
            float* si = s + i * sstride + j;
            int b = 0;
            if (d8 == d) {  // no tail: four scaled scores at a time
                for (; b + 4 <= B; b += 4)
                    Ln::hsum8x4_scaled(a[i][b], a[i][b + 1], a[i][b + 2], a[i][b + 3], scale, si + b);
                for (; b < B; ++b) si[b] = scale * Ln::hsum8(a[i][b]);
                continue;
            }
            const float* qi = q + i * qstride;
            for (; b < B; ++b) {
                const float* kr = keys + (j + b) * stride;
                float r = Ln::hsum8(a[i][b]);
                for (int64_t c = d8; c < d; ++c) r = fmaf(qi[c], kr[c], r);
                si[b] = scale * r;
            }
        }
    }

    // Enough keys at a time for about eight to twelve independent
    // multiply-add chains: fewer leave the fma units waiting on each chain's
    // latency, more spill registers.
    template <int Q>
    static void scores_q(const float* q, int64_t qstride, const float* keys, int64_t stride, int64_t n,
                         int64_t d, float scale, float* s, int64_t sstride) {
        constexpr int B = Q == 1 ? 8 / K : (12 / (K * Q) > 0 ? 12 / (K * Q) : 1);
        int64_t j = 0;
        for (; j + B <= n; j += B) score_keys<Q, B>(q, qstride, keys, stride, j, d, scale, s, sstride);
        for (; j < n; ++j) score_keys<Q, 1>(q, qstride, keys, stride, j, d, scale, s, sstride);
    }

    static void scores(const float* q, int64_t qstride, int64_t nq, const float* keys, int64_t stride,
                       int64_t n, int64_t d, float scale, float* s, int64_t sstride, bool /*streamed*/) {
        int64_t i = 0;
        for (; i + 3 <= nq; i += 3)
            scores_q<3>(q + i * qstride, qstride, keys, stride, n, d, scale, s + i * sstride, sstride);
        if (nq - i == 2) scores_q<2>(q + i * qstride, qstride, keys, stride, n, d, scale, s + i * sstride, sstride);
        if (nq - i == 1) scores_q<1>(q + i * qstride, qstride, keys, stride, n, d, scale, s + i * sstride, sstride);
    }

    // o_i[c] = Σ_j w_i[j] * val_j[c] for queries i < Q, each column's chain
    // in ascending j from 0 (the column blocking does not change any
    // column's order). The queries share every value load: R registers of
    // columns per query and pass at c.
    template <int Q, int R>
    static void weighted_block(const float* w, int64_t wstride, const float* vals, int64_t stride, int64_t n,
                               int64_t c, float* o, int64_t ostride) {
        using W = typename LnW::V;
        constexpr int64_t LW = LnW::L;
        W acc[Q][R];
        for (int i = 0; i < Q; ++i)
            for (int e = 0; e < R; ++e) acc[i][e] = LnW::zero();
        for (int64_t j = 0; j < n; ++j) {
            const float* r = vals + j * stride + c;
            W x[R];
            for (int e = 0; e < R; ++e) x[e] = LnW::load(r + e * LW);
            for (int i = 0; i < Q; ++i) {
                const W wj = LnW::set1(w[i * wstride + j]);
                for (int e = 0; e < R; ++e) acc[i][e] = LnW::fmadd(wj, x[e], acc[i][e]);
            }
        }
        for (int i = 0; i < Q; ++i)
            for (int e = 0; e < R; ++e) LnW::store(o + i * ostride + c + e * LW, acc[i][e]);
    }

    template <int Q>
    static void weighted_q(const float* w, int64_t wstride, const float* vals, int64_t stride, int64_t n,
                           int64_t d, float* o, int64_t ostride) {
        constexpr int64_t LW = LnW::L;
        int64_t c = 0;
        for (; c + 4 * LW <= d; c += 4 * LW) weighted_block<Q, 4>(w, wstride, vals, stride, n, c, o, ostride);
        if (c + 2 * LW <= d) {
            weighted_block<Q, 2>(w, wstride, vals, stride, n, c, o, ostride);
            c += 2 * LW;
        }
        if (c + LW <= d) {
            weighted_block<Q, 1>(w, wstride, vals, stride, n, c, o, ostride);
            c += LW;
        }
        if (c < d)
            for (int i = 0; i < Q; ++i)
                lanes_weighted_columns<LnW, false>(o + i * ostride + c, 0.0f, w + i * wstride, vals + c, stride,
                                                   n, d - c);
    }

    static float row_max(const float* s, int64_t n) { return Ln::row_max(s, n); }

    // Σ e[j]: lane l of eight adds the e[j] with j = l (mod 8) below
    // 8*floor(n/8) in ascending j, the lanes meet as in hsum8, then the last
    // n mod 8 are added one by one.
    static float sum(const float* e, int64_t n) {
        V acc[K];
        for (int r = 0; r < K; ++r) acc[r] = Ln::zero();
        int64_t j = 0;
        for (; j + 8 <= n; j += 8)
            for (int r = 0; r < K; ++r) acc[r] = Ln::add(acc[r], Ln::load(e + j + r * L));
        float total = Ln::hsum8(acc);
        for (; j < n; ++j) total += e[j];
        return total;
    }

    static void weighted_sum(const float* w, int64_t wstride, int64_t nq, const float* vals, int64_t stride,
                             int64_t n, int64_t d, float* o, int64_t ostride) {
        if (nq == 1) {
            lanes_weighted_columns<LnW, false>(o, 0.0f, w, vals, stride, n, d);
            return;
        }
        int64_t i = 0;
        for (; i + 3 <= nq; i += 3)
            weighted_q<3>(w + i * wstride, wstride, vals, stride, n, d, o + i * ostride, ostride);
        if (nq - i == 2) weighted_q<2>(w + i * wstride, wstride, vals, stride, n, d, o + i * ostride, ostride);
        if (nq - i == 1)
            lanes_weighted_columns<LnW, false>(o + i * ostride, 0.0f, w + i * wstride, vals, stride, n, d);
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
    const int64_t team = strip_team();

    // Token t's query heads of key/value group g: scores, softmax rows,
    // outputs. The heads share every key and value load.
    auto run_unit = [&](int64_t t, int64_t g) {
        const int64_t h = g * group, n = p0 + t + 1;
        float* s = scores + (t * Hq + h) * visible_max;
        // One token reads the keys once, from memory.
        Ops::scores(rows + t * W + h * d, d, group, kc + g * cap * d, d, n, d, scale, s, visible_max,
                    T == 1);
        for (int64_t i = 0; i < group; ++i) {
            float* si = s + i * visible_max;
            const float m = Ops::row_max(si, n);
            for (int64_t j = 0; j < n; ++j) si[j] = expf(si[j] - m);
            const float inv = 1.0f / Ops::sum(si, n);
            for (int64_t j = 0; j < n; ++j) si[j] = si[j] * inv;
        }
        Ops::weighted_sum(s, visible_max, group, vc + g * cap * d, d, n, d, out + t * qw + h * d, d);
    };

    const double cost = double(T * Hq) * double(p0 + (T + 1) / 2) * double(d);
    if (cost < kCausalParallelWork || team <= 1 || T * Hkv < 2) {
        for (int64_t t = 0; t < T; ++t)
            for (int64_t g = 0; g < Hkv; ++g) run_unit(t, g);
        return;
    }
    // Units are claimed latest token first (those see the most keys), so the
    // big units go out early and the small ones even out the end. Each
    // streams its part of the cache once; even with only a few units
    // (one-token steps) that beats splitting a group's heads, whose threads
    // would each stream the same keys. Each unit is computed by one thread
    // alone, so the result does not depend on who runs it.
    run_strips(T * Hkv, int(team), [&](int64_t u, int) { run_unit(T - 1 - u / Hkv, u % Hkv); });
}

}  // namespace
}  // namespace vantrel
