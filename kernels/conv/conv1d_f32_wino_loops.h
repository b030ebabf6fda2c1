// The Winograd 1-D convolution shared by every path: input transform, the n
// tile products and the output transform, in the evaluation order fixed in
// conv1d_f32_wino.h. Each path supplies Ops: a lane type (V, L, load,
// load_n, store, store_n, set1, add, mul, as in lanes_f32*.h) plus relu
// (x > 0 ? x : +0 per lane). Plain IEEE operations lane by lane, so every
// width gives the same bits.
//
// Everything is static so each instruction-set file keeps its own copy.
#pragma once
#include <algorithm>
#include <cstdint>

#include "kernels/conv/conv1d_f32_wino.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/parallel/strip_pool.h"

namespace vantrel {

// Tiles [t0, t1): V_i of tile t at v + (i*(t1 - t0) + t - t0)*cin.
template <class Ops>
static void conv1d_wino_input_tiles(const Conv1dWinograd& w, const float* padded, float* v, int64_t cin,
                                    int64_t t0, int64_t t1) {
    using V = typename Ops::V;
    constexpr int L = Ops::L;
    for (int64_t tile = t0; tile < t1; ++tile) {
        const float* d = padded + tile * w.m * cin;
        for (int i = 0; i < w.n; ++i) {
            const int nnz = w.bt_nnz[i];
            V coef[12];
            for (int e = 0; e < nnz; ++e) coef[e] = Ops::set1(w.bt_coef[i][e]);
            float* dst = v + (i * (t1 - t0) + tile - t0) * cin;
            for (int64_t c = 0; c < cin; c += L) {
                const int cnt = int(std::min<int64_t>(L, cin - c));
                auto at = [&](int e) {
                    const float* src = d + w.bt_idx[i][e] * cin + c;
                    return cnt == L ? Ops::load(src) : Ops::load_n(src, cnt);
                };
                V acc = Ops::mul(coef[0], at(0));
                for (int e = 1; e < nnz; ++e) acc = Ops::add(acc, Ops::mul(coef[e], at(e)));
                if (cnt == L)
                    Ops::store(dst + c, acc);
                else
                    Ops::store_n(dst + c, acc, cnt);
            }
        }
    }
}

// Tiles [t0, t1): M_i of tile t at mb + (i*(t1 - t0) + t - t0)*cout.
template <class Ops>
static void conv1d_wino_output_tiles(const Conv1dWinograd& w, const float* mb, const float* bias,
                                     bool relu, float* out, int64_t cout, int64_t l_out, int64_t t0,
                                     int64_t t1) {
    using V = typename Ops::V;
    constexpr int L = Ops::L;
    const int pairs = (w.n - 2) / 2;
    const V minus = Ops::set1(-1.0f);
    for (int64_t tile = t0; tile < t1; ++tile) {
        const int64_t rows = std::min<int64_t>(w.m, l_out - tile * w.m);
        for (int64_t o = 0; o < cout; o += L) {
            const int cnt = int(std::min<int64_t>(L, cout - o));
            V mv[12] = {};
            for (int i = 0; i < w.n; ++i) {
                const float* src = mb + (i * (t1 - t0) + tile - t0) * cout + o;
                mv[i] = cnt == L ? Ops::load(src) : Ops::load_n(src, cnt);
            }
            V b = Ops::set1(0.0f);
            if (bias) b = cnt == L ? Ops::load(bias + o) : Ops::load_n(bias + o, cnt);
            for (int64_t j = 0; j < rows; ++j) {
                V acc;
                if (j == 0) {
                    acc = mv[0];
                    for (int i = 1; i < w.n - 1; ++i) acc = Ops::add(acc, mv[i]);
                } else {
                    const bool odd = (j & 1) != 0;
                    auto pair = [&](int q) {
                        const V neg = odd ? Ops::mul(minus, mv[2 * q]) : mv[2 * q];
                        return Ops::add(mv[2 * q - 1], neg);
                    };
                    acc = pair(1);
                    for (int q = 2; q <= pairs; ++q) {
                        float s = 1.0f;
                        for (int64_t e = 0; e < j; ++e) s *= float(q);
                        acc = Ops::add(acc, Ops::mul(Ops::set1(s), pair(q)));
                    }
                    if (j == w.m - 1) acc = Ops::add(acc, mv[w.n - 1]);
                }
                if (bias) acc = Ops::add(acc, b);
                if (relu) acc = Ops::relu(acc);
                float* dst = out + (tile * w.m + j) * cout + o;
                if (cnt == L)
                    Ops::store(dst, acc);
                else
                    Ops::store_n(dst, acc, cnt);
            }
        }
    }
}

template <class Ops>
static void conv1d_wino_run(const float* padded, const float* const* u, const float* bias,
                            float* out, int32_t cin, int32_t l_out, int32_t cout, int32_t r,
                            bool relu, float* v, float* mb) {
    const Conv1dWinograd* wp = conv1d_winograd_for(r);
    if (!wp || l_out <= 0 || cin <= 0 || cout <= 0) return;
    const Conv1dWinograd& w = *wp;
    const int64_t tiles = conv1d_wino_tiles(w, l_out);
    // Blocks of tiles, each transformed, multiplied and transformed back by
    // one thread while its V and M (n*(cin + cout) floats a tile) stay in L2:
    // whole-signal passes sent them through memory three times. Every output
    // keeps its order of operations, so the blocking changes no bit.
    const int64_t per_tile = int64_t(w.n) * (int64_t(cin) + cout);
    int64_t block = std::max<int64_t>(8, (int64_t(256) << 10) / (4 * per_tile));
    const int team = strip_team();
    // A team only when the work pays for it; then at least two blocks a thread.
    const bool parallel = team > 1 && tiles > 1 && tiles * per_tile >= 32768;
    if (parallel) block = std::min(block, std::max<int64_t>(1, (tiles + 2 * team - 1) / (2 * team)));
    const int64_t blocks = (tiles + block - 1) / block;
    // Block b's V and M take the part of v and mb its tiles would.
    auto run_block = [&](int64_t b, int) {
        const int64_t t0 = b * block, t1 = std::min(tiles, t0 + block), nb = t1 - t0;
        float* vb = v + w.n * t0 * cin;
        float* mbb = mb + w.n * t0 * cout;
        conv1d_wino_input_tiles<Ops>(w, padded, vb, cin, t0, t1);
        for (int i = 0; i < w.n; ++i)
            gemm_f32_plain(vb + i * nb * cin, u[i], mbb + i * nb * cout, int32_t(nb), cin, cout);
        conv1d_wino_output_tiles<Ops>(w, mbb, bias, relu, out, cout, l_out, t0, t1);
    };
    run_strips(blocks, parallel ? team : 1, run_block);
}

}  // namespace vantrel
