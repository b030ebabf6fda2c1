// Driver of the attention core, shared by every path. A path supplies the
// three inner loops whose order of operations attention_core.h fixes:
//   Ops::scores(q, kt, stride, n, d, scale, s)  s[j] = scale * dot(q, key j),
//                                              key j's feature c at kt[c*stride + j]
//   Ops::max_scores(s, n, m)                    max(m, s[0], ..., s[n-1]), a NaN
//                                              s[j] left out
//   Ops::weights(s, n, m, p)                    p[j] = exp(s[j] - m), groups of
//                                              4 by vexp, the rest by expf
//   Ops::accumulate(acc, a, p, v, n, d)         acc = acc * a, then
//                                              acc += p[j] * v[j*d ..] for j < n
//   Ops::kRows                                  query rows per pass of the
//                                              two row forms below (1: none)
//   Ops::scores_rows / Ops::accumulate_rows     the same loops for kRows query
//                                              rows at once: each key or value
//                                              load serves every row, and the
//                                              rows' chains run side by side
// Gathering, the running maximum and sum, the tiling and the threading are
// this one scalar code. AttentionOpsLanes<Ln> is the vector form of the three
// loops on a vmath lane struct (vmath_*.h).
//
// Everything sits in an unnamed namespace: files built with different
// instruction sets include this header, and each must keep its own copy.
#pragma once
#include <math.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "kernels/parallel/strip_pool.h"
#include "kernels/simd/lanes_f32_weighted.h"
#include "kernels/simd/vmath_lanes.h"

namespace vantrel {
namespace {

constexpr int64_t kAttentionTile = 64;
// At least the widest path's lanes.
constexpr int64_t kKeySlack = 64;
// Below this many multiply-adds a team costs more than it saves.
constexpr double kAttentionParallelWork = 131072.0;

struct AttentionHeadBuffers {
    std::vector<float> q, kt, v, acc, s, p, m, l;
    std::vector<int64_t> kept;
};

// Keys are transposed in blocks of this many tokens: the block's rows stay
// in L1 while each feature's row gets contiguous stores (storing one
// token's features at a time, each a row apart, took a tenth of a head's
// time at T=197).
constexpr int64_t kKeyBlock = 16;

// One head: token t's query, key and value at q, k and v + t*ld (d
// features each), its result at out + t*ldo.
template <class Ops>
void attention_head(const float* qh, const float* kh, const float* vh, int64_t ld, float* out, int64_t ldo,
                    int64_t T, int64_t d, float scale, const float* key_mask, AttentionHeadBuffers& b) {
    // The key block's rows (one per feature) start on 64-byte boundaries,
    // kts floats apart, so no register of keys straddles two cache lines;
    // kKeySlack floats past the block: a register of keys that reaches past
    // the last one reads them (its extra lanes are never stored).
    const int64_t kts = (T + 15) / 16 * 16;
    b.kt.resize(size_t(kts * d + kKeySlack + 16));
    float* const ktb = b.kt.data() + (16 - (reinterpret_cast<uintptr_t>(b.kt.data()) / 4) % 16) % 16;
    // Kept keys (and their values) are gathered in token order; the key
    // block keeps its stride kts whatever their count.
    b.kept.clear();
    for (int64_t t = 0; t < T; ++t)
        if (!key_mask || key_mask[t] != 0.0f) b.kept.push_back(t);
    const int64_t keys = int64_t(b.kept.size());
    if (keys == 0) return;
    // Queries, and values when every key is kept, are read in place when
    // their rows are packed d apart (a head's own product); else copied so.
    const float* qb = qh;
    if (ld != d) {
        b.q.resize(size_t(T * d));
        for (int64_t t = 0; t < T; ++t) std::memcpy(&b.q[size_t(t * d)], qh + t * ld, size_t(d) * sizeof(float));
        qb = b.q.data();
    }
    const float* vb = vh;
    if (ld != d || keys < T) {
        b.v.resize(size_t(keys * d));
        for (int64_t j = 0; j < keys; ++j)
            std::memcpy(&b.v[size_t(j * d)], vh + b.kept[size_t(j)] * ld, size_t(d) * sizeof(float));
        vb = b.v.data();
    }
    for (int64_t j0 = 0; j0 < keys; j0 += kKeyBlock) {
        const int64_t nb = std::min(kKeyBlock, keys - j0);
        const float* rows[kKeyBlock];
        for (int64_t i = 0; i < nb; ++i) rows[i] = kh + b.kept[size_t(j0 + i)] * ld;
        for (int64_t c = 0; c < d; ++c) {
            float* dst = ktb + c * kts + j0;
            for (int64_t i = 0; i < nb; ++i) dst[i] = rows[i][c];
        }
    }
    const int64_t tile = kAttentionTile;
    b.acc.resize(size_t(tile * d));
    b.m.resize(size_t(tile));
    b.l.resize(size_t(tile));
    constexpr int R = Ops::kRows;
    b.s.resize(size_t(tile * R));
    b.p.resize(size_t(tile * R));
    float* s = b.s.data();
    float* p = b.p.data();
    for (int64_t i0 = 0; i0 < T; i0 += tile) {
        const int64_t nq = std::min(tile, T - i0);
        std::fill(b.acc.begin(), b.acc.begin() + nq * d, 0.0f);
        std::fill(b.m.begin(), b.m.begin() + nq, -std::numeric_limits<float>::infinity());
        std::fill(b.l.begin(), b.l.begin() + nq, 0.0f);
        for (int64_t j0 = 0; j0 < keys; j0 += tile) {
            const int64_t nk = std::min(tile, keys - j0);
            const float* kt = ktb + j0;
            const float* v = vb + j0 * d;
            for (int64_t r = 0; r < nq;) {
                // Query rows r .. r + rows - 1; each keeps its own order.
                const int64_t rows = R > 1 && nq - r >= R ? R : 1;
                const float* q = qb + (i0 + r) * d;
                if constexpr (R > 1) {
                    if (rows == R) Ops::scores_rows(q, kt, kts, nk, d, scale, s, tile);
                }
                if (rows == 1) Ops::scores(q, kt, kts, nk, d, scale, s);
                float a[R];
                // The rows' running sums are sequential chains; stepping the
                // rows together lets them overlap.
                auto softmax_rows = [&](auto count) {
                    constexpr int n = decltype(count)::value;
                    float mx[n], l[n];
                    for (int i = 0; i < n; ++i) mx[i] = Ops::max_scores(s + i * tile, nk, b.m[r + i]);
                    for (int i = 0; i < n; ++i) {
                        a[i] = ::expf(b.m[r + i] - mx[i]);
                        Ops::weights(s + i * tile, nk, mx[i], p + i * tile);
                        l[i] = b.l[r + i] * a[i];
                    }
                    // The row form adds the weights to l inside its
                    // weighted-value loop (the same ascending order), where
                    // these chains hide behind the multiply-adds.
                    if (n == 1 || R == 1)
                        for (int64_t j = 0; j < nk; ++j)
                            for (int i = 0; i < n; ++i) l[i] = l[i] + p[i * tile + j];
                    for (int i = 0; i < n; ++i) {
                        b.l[r + i] = l[i];
                        b.m[r + i] = mx[i];
                    }
                };
                if (rows == R) softmax_rows(std::integral_constant<int, R>{});
                else softmax_rows(std::integral_constant<int, 1>{});
                float* acc = &b.acc[size_t(r * d)];
                if constexpr (R > 1) {
                    if (rows == R) Ops::accumulate_rows(acc, a, p, tile, v, nk, d, &b.l[size_t(r)]);
                }
                if (rows == 1) Ops::accumulate(acc, a[0], p, v, nk, d);
                r += rows;
            }
        }
        for (int64_t r = 0; r < nq; ++r) {
            const float inv = 1.0f / b.l[r];
            const float* acc = &b.acc[size_t(r * d)];
            float* o = out + (i0 + r) * ldo;
            for (int64_t c = 0; c < d; ++c) o[c] = acc[c] * inv;
        }
    }
}

// Four registers of keys (or features) at a time, then one, then scalar.
// The row forms take Rows query rows; the scores go ScoreRows rows at a
// time (ScoreRows x 4 accumulators must fit the registers beside 5
// operands), the weighted values all Rows at once (Rows x 2 accumulators,
// the form short heads of 2 registers of features take).
template <class Ln, int Rows, int ScoreRows = Rows>
struct AttentionOpsLanes {
    using V = typename Ln::V;
    static constexpr int64_t L = Ln::L;
    static constexpr int kRows = Rows;
    static_assert(Rows % ScoreRows == 0, "score passes cover the rows");

    // Rows query rows (d apart) against n keys, into s (rows ld apart); the
    // keys past the last full register take one more, partly stored.
    static void scores_rows(const float* q, const float* kt, int64_t stride, int64_t n, int64_t d,
                            float scale, float* s, int64_t ld) {
        int64_t j = 0;
        for (int r = 0; r < Rows; r += ScoreRows) {
            const float* qr = q + r * d;
            float* sr = s + r * ld;
            j = scores_block<4, ScoreRows>(qr, kt, stride, 0, n, d, scale, sr, ld);
            j = scores_block<1, ScoreRows>(qr, kt, stride, j, n, d, scale, sr, ld);
        }
        // The partial register for all the rows at once: its chains are
        // latency bound, and more rows run more of them side by side.
        if (j < n) scores_part<Rows>(q, kt + j, stride, n - j, d, scale, s + j, ld);
    }
    // The last n < L keys of R rows in one register each: lanes are keys, so
    // every lane keeps the dot's order, and the lanes past n (reading the
    // key block's slack or the next feature's keys) are not stored. One
    // chain per row and register instead of a scalar chain per key.
    template <int R>
    static void scores_part(const float* q, const float* kt, int64_t stride, int64_t n, int64_t d,
                            float scale, float* s, int64_t ld) {
        V acc[R];
        for (int r = 0; r < R; ++r) acc[r] = Ln::zero();
        for (int64_t c = 0; c < d; ++c) {
            const V kv = Ln::load(kt + c * stride);
            for (int r = 0; r < R; ++r) acc[r] = Ln::fmadd(Ln::set1(q[r * d + c]), kv, acc[r]);
        }
        const V vs = Ln::set1(scale);
        for (int r = 0; r < R; ++r) Ln::store_n(s + r * ld, Ln::mul(vs, acc[r]), int(n));
    }
    template <int NK, int Rows_>
    static int64_t scores_block(const float* q, const float* kt, int64_t stride, int64_t j, int64_t n,
                                int64_t d, float scale, float* s, int64_t ld) {
        const V vs = Ln::set1(scale);
        for (; j + NK * L <= n; j += NK * L) {
            V acc[Rows_][NK];
            for (int r = 0; r < Rows_; ++r)
                for (int e = 0; e < NK; ++e) acc[r][e] = Ln::zero();
            for (int64_t c = 0; c < d; ++c) {
                const float* k = kt + c * stride + j;
                V kv[NK];
                for (int e = 0; e < NK; ++e) kv[e] = Ln::load(k + e * L);
                for (int r = 0; r < Rows_; ++r) {
                    const V qc = Ln::set1(q[r * d + c]);
                    for (int e = 0; e < NK; ++e) acc[r][e] = Ln::fmadd(qc, kv[e], acc[r][e]);
                }
            }
            for (int r = 0; r < Rows_; ++r)
                for (int e = 0; e < NK; ++e) Ln::store(s + r * ld + j + e * L, Ln::mul(vs, acc[r][e]));
        }
        return j;
    }
    // acc (Rows rows, d apart) = acc * a[r] + sum_j p[r][j] * v[j], the
    // weights p rows ld apart; the columns past the last full register go
    // through the one-row loop. Also l[r] = l[r] + p[r][j] in ascending j,
    // inside the first column pass of row r.
    static void accumulate_rows(float* acc, const float* a, const float* p, int64_t ld, const float* v,
                                int64_t n, int64_t d, float* l) {
        int64_t c = 0;
        if (d >= 4 * L) {
            for (int r = 0; r < Rows; r += ScoreRows)
                c = accumulate_block<4, ScoreRows>(acc + r * d, a + r, p + r * ld, ld, v, n, d, 0, l + r);
            l = nullptr;
        }
        const int64_t c2 = accumulate_block<2, Rows>(acc, a, p, ld, v, n, d, c, l);
        if (c2 > c) l = nullptr;
        c = accumulate_block<1, Rows>(acc, a, p, ld, v, n, d, c2, l);
        if (c > c2) l = nullptr;
        if (l)
            for (int64_t j = 0; j < n; ++j)
                for (int r = 0; r < Rows; ++r) l[r] = l[r] + p[r * ld + j];
        if (c < d)
            for (int r = 0; r < Rows; ++r)
                lanes_weighted_columns<Ln, true>(acc + r * d + c, a[r], p + r * ld, v + c, d, n, d - c);
    }
    // Column passes from c while whole blocks of NC registers fit; the first
    // also sums each row's weights into l when l is not null.
    template <int NC, int Rows_>
    static int64_t accumulate_block(float* acc, const float* a, const float* p, int64_t ld, const float* v,
                                    int64_t n, int64_t d, int64_t c, float* l) {
        for (; c + NC * L <= d; c += NC * L) {
            if (l) {
                accumulate_pass<NC, Rows_, true>(acc, a, p, ld, v, n, d, c, l);
                l = nullptr;
            } else {
                accumulate_pass<NC, Rows_, false>(acc, a, p, ld, v, n, d, c, nullptr);
            }
        }
        return c;
    }
    template <int NC, int Rows_, bool kSum>
    static void accumulate_pass(float* acc, const float* a, const float* p, int64_t ld, const float* v, int64_t n,
                                int64_t d, int64_t c, float* l) {
        V x[Rows_][NC];
        float sum[Rows_];
        for (int r = 0; r < Rows_; ++r) {
            const V va = Ln::set1(a[r]);
            for (int e = 0; e < NC; ++e) x[r][e] = Ln::mul(Ln::load(acc + r * d + c + e * L), va);
            if (kSum) sum[r] = l[r];
        }
        for (int64_t j = 0; j < n; ++j) {
            V vv[NC];
            for (int e = 0; e < NC; ++e) vv[e] = Ln::load(v + j * d + c + e * L);
            for (int r = 0; r < Rows_; ++r) {
                const float pj = p[r * ld + j];
                const V w = Ln::set1(pj);
                for (int e = 0; e < NC; ++e) x[r][e] = Ln::fmadd(w, vv[e], x[r][e]);
                if (kSum) sum[r] = sum[r] + pj;
            }
        }
        for (int r = 0; r < Rows_; ++r) {
            for (int e = 0; e < NC; ++e) Ln::store(acc + r * d + c + e * L, x[r][e]);
            if (kSum) l[r] = sum[r];
        }
    }

    static void scores(const float* q, const float* kt, int64_t stride, int64_t n, int64_t d,
                       float scale, float* s) {
        const V vs = Ln::set1(scale);
        int64_t j = 0;
        for (; j + 4 * L <= n; j += 4 * L) {
            V a0 = Ln::zero(), a1 = a0, a2 = a0, a3 = a0;
            for (int64_t c = 0; c < d; ++c) {
                const V qc = Ln::set1(q[c]);
                const float* k = kt + c * stride + j;
                a0 = Ln::fmadd(qc, Ln::load(k), a0);
                a1 = Ln::fmadd(qc, Ln::load(k + L), a1);
                a2 = Ln::fmadd(qc, Ln::load(k + 2 * L), a2);
                a3 = Ln::fmadd(qc, Ln::load(k + 3 * L), a3);
            }
            Ln::store(s + j, Ln::mul(vs, a0));
            Ln::store(s + j + L, Ln::mul(vs, a1));
            Ln::store(s + j + 2 * L, Ln::mul(vs, a2));
            Ln::store(s + j + 3 * L, Ln::mul(vs, a3));
        }
        for (; j + L <= n; j += L) {
            V a0 = Ln::zero();
            for (int64_t c = 0; c < d; ++c) a0 = Ln::fmadd(Ln::set1(q[c]), Ln::load(kt + c * stride + j), a0);
            Ln::store(s + j, Ln::mul(vs, a0));
        }
        if (j < n) scores_part<1>(q, kt + j, stride, n - j, d, scale, s + j, 0);
    }
    // Lane by lane, then across the lanes: a maximum does not depend on the
    // order it is taken in. Only the sign of a zero maximum can, and m only
    // enters through exp(m_old - m) and exp(s - m), where both zeros give
    // the same bits.
    static float max_scores(const float* s, int64_t n, float m) {
        int64_t j = 0;
        float mx = m;
        if (n >= L) {
            V acc = Ln::set1(m);
            for (; j + L <= n; j += L) acc = Ln::max_skip_nan(acc, Ln::load(s + j));
            alignas(64) float lanes[L];
            Ln::store(lanes, acc);
            for (int64_t e = 0; e < L; ++e) mx = lanes[e] > mx ? lanes[e] : mx;
        }
        for (; j < n; ++j) mx = s[j] > mx ? s[j] : mx;
        return mx;
    }
    static void weights(const float* s, int64_t n, float m, float* p) {
        const int64_t groups = n / 4 * 4;
        const V vm = Ln::set1(m);
        int64_t j = 0;
        for (; j + L <= groups; j += L) Ln::store(p + j, vmath::vexp_lanes<Ln>(Ln::sub(Ln::load(s + j), vm)));
        // The groups short of a register (a tile's last keys) in one partial
        // register too: each lane gives the scalar vexp's bits.
        if (j < groups) {
            const int rest = int(groups - j);
            Ln::store_n(p + j, vmath::vexp_lanes<Ln>(Ln::sub(Ln::load_n(s + j, rest), vm)), rest);
            j = groups;
        }
        for (; j < n; ++j) p[j] = ::expf(s[j] - m);
    }
    static void accumulate(float* acc, float a, const float* p, const float* v, int64_t n, int64_t d) {
        lanes_weighted_columns<Ln, true>(acc, a, p, v, d, n, d);
    }
};

template <class Ops>
void attention_core_run(const float* qkv, float* out, int32_t tokens, int32_t embed,
                        int32_t num_heads, const float* key_mask) {
    if (!qkv || !out || tokens <= 0 || embed <= 0 || num_heads <= 0) return;
    const int64_t T = tokens, E = embed, H = num_heads, d = E / H;
    if (d == 0) return;
    const float scale = 1.0f / ::sqrtf(float(d));
    // Heads are strips: a thread the OS wakes late takes fewer of them
    // instead of holding the team at the end. Each head is computed whole by
    // one thread, so who takes it changes no bit.
    auto run_head = [&](int64_t h, int) {
        // Kept between calls so repeated forwards do not reallocate.
        thread_local AttentionHeadBuffers buffers;
        attention_head<Ops>(qkv + h * d, qkv + E + h * d, qkv + 2 * E + h * d, 3 * E, out + h * d, E, T, d, scale,
                            key_mask, buffers);
    };
    const double work = 2.0 * double(T) * double(T) * double(E);
    run_strips(H, H > 1 && work >= kAttentionParallelWork ? strip_team() : 1, run_head);
}

// attention_head_f32 (attention_core.h) on a path's loops.
template <class Ops>
void attention_one_head(const float* q, const float* k, const float* v, int64_t ld, float* out, int64_t ldo,
                        int32_t tokens, int32_t d, const float* key_mask) {
    if (!q || !k || !v || !out || tokens <= 0 || d <= 0) return;
    thread_local AttentionHeadBuffers buffers;
    attention_head<Ops>(q, k, v, ld, out, ldo, tokens, d, 1.0f / ::sqrtf(float(d)), key_mask, buffers);
}

}  // namespace
}  // namespace vantrel
