// Channel-block loops shared by every global-average-pooling path; each path
// supplies the vector operations. Static templates: each instruction-set
// file keeps its own copy.
#pragma once
#include <cstdint>

#include "kernels/parallel/strip_pool.h"
#include "kernels/pool/avgpool.h"

namespace vantrel {

// float32. Ops: V with L lanes, zero(), set1(x), load(p), load_n(p, n)
// (lanes >= n read as 0), store(p, v), store_n(p, v, n), add(a, b), mul(a, b).
// Each lane sums its channel over the pixels in memory order from +0.

// Channels [ch, ch + N*L) of every pixel (C floats apart) in one pass, the
// last vector holding only `last` channels (last <= L).
template <class Ops, int N>
static void avgpool_f32_block(const float* in, float* out, int64_t C, int64_t pixels, int64_t ch, int last,
                              typename Ops::V inv) {
    using V = typename Ops::V;
    constexpr int64_t L = Ops::L;
    V a[N];
    for (int v = 0; v < N; ++v) a[v] = Ops::zero();
    const float* p = in + ch;
    if (last == L) {
        for (int64_t px = 0; px < pixels; ++px, p += C)
            for (int v = 0; v < N; ++v) a[v] = Ops::add(a[v], Ops::load(p + v * L));
    } else {
        for (int64_t px = 0; px < pixels; ++px, p += C) {
            for (int v = 0; v + 1 < N; ++v) a[v] = Ops::add(a[v], Ops::load(p + v * L));
            a[N - 1] = Ops::add(a[N - 1], Ops::load_n(p + (N - 1) * L, last));
        }
    }
    for (int v = 0; v + 1 < N; ++v) Ops::store(out + ch + v * L, Ops::mul(a[v], inv));
    if (last == L)
        Ops::store(out + ch + (N - 1) * L, Ops::mul(a[N - 1], inv));
    else
        Ops::store_n(out + ch + (N - 1) * L, Ops::mul(a[N - 1], inv), last);
}

// Channel vectors [v0, v1) of C channels (the last one possibly partial),
// up to four per pass over the pixels: one pass reads each pixel's lines
// once for all of them.
template <class Ops>
static void avgpool_f32_vectors(const float* in, float* out, int64_t C, int64_t pixels, int64_t v0, int64_t v1,
                                typename Ops::V inv) {
    constexpr int64_t L = Ops::L;
    for (int64_t v = v0; v < v1;) {
        const int64_t n = v1 - v < 4 ? v1 - v : 4;
        const int64_t ch = v * L;
        const int last = int(C - (v + n - 1) * L < L ? C - (v + n - 1) * L : L);
        switch (n) {
            case 1: avgpool_f32_block<Ops, 1>(in, out, C, pixels, ch, last, inv); break;
            case 2: avgpool_f32_block<Ops, 2>(in, out, C, pixels, ch, last, inv); break;
            case 3: avgpool_f32_block<Ops, 3>(in, out, C, pixels, ch, last, inv); break;
            default: avgpool_f32_block<Ops, 4>(in, out, C, pixels, ch, last, inv); break;
        }
        v += n;
    }
}

// From this many floats a team shares the channel vectors (each lane's sum
// is the same whichever thread forms it): squeeze-and-excitation pools read
// megabytes at the network's start.
constexpr int64_t kAvgPoolTeamFloats = int64_t(1) << 16;

template <class Ops>
static void avgpool_f32_loops(const float* in, float* out, int32_t c, int32_t h, int32_t w) {
    using V = typename Ops::V;
    constexpr int64_t L = Ops::L;
    if (c < 1) return;
    const int64_t C = c;
    const int64_t pixels = (h < 0 || w < 0) ? 0 : int64_t(h) * int64_t(w);
    if (pixels == 0) {
        for (int64_t ch = 0; ch < C; ++ch) out[ch] = 0.0f;
        return;
    }
    const V inv = Ops::set1(1.0f / float(pixels));
    const int64_t vectors = (C + L - 1) / L;
    const int team = pixels * C >= kAvgPoolTeamFloats && vectors > 1 ? strip_team() : 1;
    if (team < 2) {
        avgpool_f32_vectors<Ops>(in, out, C, pixels, 0, vectors, inv);
        return;
    }
    run_shares(vectors, team,
               [&](int64_t v0, int64_t v1) { avgpool_f32_vectors<Ops>(in, out, C, pixels, v0, v1, inv); });
}

// int8. Ops: accumulator Acc of L int16 lanes, zero(), add(a, p) (widens L
// bytes at p and adds them), add_n(a, p, n) (bytes >= n count as 0; paths
// without masked loads use avgpool_s8_add_padded), spill(int16_t* dst, a). Runs of at most 256 pixels fit int16
// (256 * -128 = -32768, 256 * 127 = 32512); each run is then added to exact
// 64-bit sums.
template <class Ops>
static typename Ops::Acc avgpool_s8_add_padded(typename Ops::Acc a, const int8_t* p, int n) {
    alignas(64) int8_t b[Ops::L] = {};
    for (int i = 0; i < n; ++i) b[i] = p[i];
    return Ops::add(a, b);
}

template <class Ops>
static void avgpool_s8_loops(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out,
                             int32_t c, int32_t h, int32_t w, float in_scale, float out_scale) {
    using Acc = typename Ops::Acc;
    constexpr int L = Ops::L;
    constexpr int64_t kRun = 256;
    if (c < 1) return;
    const int64_t C = c;
    const int64_t pixels = (h < 0 || w < 0) ? 0 : int64_t(h) * int64_t(w);
    if (pixels == 0) {
        for (int64_t ch = 0; ch < C; ++ch) out[ch] = avgpool_s8_empty(out_zp);
        return;
    }
    const AvgPoolS8Requant q = avgpool_s8_requant(pixels, in_zp, out_zp, in_scale, out_scale);
    for (int64_t ch = 0; ch < C; ch += L) {
        const int n = C - ch < L ? int(C - ch) : L;
        int64_t sums[L] = {};
        for (int64_t p0 = 0; p0 < pixels; p0 += kRun) {
            const int64_t p1 = pixels - p0 < kRun ? pixels : p0 + kRun;
            Acc a = Ops::zero();
            const int8_t* p = in + p0 * C + ch;
            if (n == L) {
                for (int64_t px = p0; px < p1; ++px, p += C) a = Ops::add(a, p);
            } else {
                for (int64_t px = p0; px < p1; ++px, p += C) a = Ops::add_n(a, p, n);
            }
            alignas(64) int16_t run[L];
            Ops::spill(run, a);
            for (int j = 0; j < n; ++j) sums[j] += run[j];
        }
        for (int j = 0; j < n; ++j) out[ch + j] = avgpool_s8_finish(sums[j], q);
    }
}

// Define the kernels k_avgpool_f32<suffix> and k_avgpool_s8<suffix> of
// avgpool.h on the float lane struct LnF32 and the int8 operations OpsS8.
#define VANTREL_AVGPOOL_KERNELS(suffix, LnF32, OpsS8)                                              \
    void k_avgpool_f32##suffix(const float* in, float* out, int32_t c, int32_t h, int32_t w,      \
                               void* /*stream*/) {                                                \
        avgpool_f32_loops<LnF32>(in, out, c, h, w);                                               \
    }                                                                                             \
    void k_avgpool_s8##suffix(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out,      \
                              int32_t c, int32_t h, int32_t w, void* /*stream*/, float in_scale, \
                              float out_scale) {                                                  \
        avgpool_s8_loops<OpsS8>(in, in_zp, out_zp, out, c, h, w, in_scale, out_scale);            \
    }

}  // namespace vantrel
