// Pixel loop shared by every depthwise path: geometry, the thread split of
// output rows and the list of taps inside the image for each output pixel.
// Each path supplies Pixel::run(taps, tap_index, ntaps, w_taps, bias, out,
// cout, mult, relu), which computes the cout outputs of one pixel; taps[i]
// points at channel 0 of the input pixel of valid tap i, whose weights are
// the row w_taps + tap_index[i] * cout.
//
// An epilogue (gemm_f32_epilogue.h), when given, runs on each pixel's cout
// outputs right after they are written (on the fixed 3x3 / 5x5 kernels
// below: on each output row once it is done, and a clamp alone is folded
// into the kernels' stores).
//
// The template is static so each instruction-set file keeps its own copy.

// Defines conv2d_f32_depthwise_<path>, conv2d_f32_depthwise_epi_<path> and
// conv2d_f32_depthwise_rows_<path> on a Pixel.
#define VANTREL_DEPTHWISE_F32_ENTRY_POINTS(path, Pixel)                                               \
    void conv2d_f32_depthwise_rows_##path(const float* in, const float* w_taps, const float* bias,    \
                                          float* out, const Conv2dGeometry& g, int64_t cout,          \
                                          bool relu, int64_t oy0, int64_t oy1,                        \
                                          const ConvEpilogueF32* epi) {                               \
        depthwise_rows_f32<Pixel>(in, w_taps, bias, out, g, cout, relu, oy0, oy1,                     \
                                  epi && epi->active() ? epi : nullptr);                              \
    }                                                                                                 \
    void conv2d_f32_depthwise_epi_##path(VANTREL_DEPTHWISE_F32_ARGS, const ConvEpilogueF32* epi) {   \
        depthwise_f32<Pixel>(in, w_taps, bias, out, cin, h, w_in, cout, kh, kw, stride_h, stride_w,    \
                             pad_h, pad_w, dilation_h, dilation_w, relu, epi);                        \
    }                                                                                                 \
    void conv2d_f32_depthwise_##path(VANTREL_DEPTHWISE_F32_ARGS) {                                    \
        conv2d_f32_depthwise_epi_##path(in, w_taps, bias, out, cin, h, w_in, cout, kh, kw, stride_h,  \
                                        stride_w, pad_h, pad_w, dilation_h, dilation_w, relu, stream, \
                                        nullptr);                                                     \
    }
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/gemm/gemm_f32_epilogue.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

// Whether a path has Pixel::span, which computes a run of consecutive
// output pixels of one row that read the same tap columns (multiplier 1
// only): span(rows, tap_base, nrows, nkx, dil_c, step_c, w_taps, bias, out,
// cout, npix, relu), where rows[j] points at the input of the first read tap
// of valid tap row j for the run's first pixel and tap_base[j] is that tap's
// index ky * kw + kx0; the run reads taps kx0 .. kx0 + nkx - 1. Sharing each
// weight vector between several pixels is what makes such a path fast; it
// sums the same terms in the same order as run().
// A path's span() in blocks of its span_block<P>: each width of Ws in turn
// as often as it fits, then single pixels.
template <class Pixel, int... Ws>
inline void depthwise_span_blocks(const float* const* rows, const int64_t* tap_base, int nrows, int64_t nkx,
                                  int64_t dil_c, int64_t step_c, const float* w_taps, const float* bias,
                                  float* out, int64_t cout, int64_t npix, bool relu) {
    int64_t p = 0;
    auto blocks = [&](auto width) {
        constexpr int P = decltype(width)::value;
        for (; p + P <= npix; p += P)
            Pixel::template span_block<P>(rows, tap_base, nrows, nkx, dil_c, step_c, p * step_c, w_taps, bias,
                                          out + p * cout, cout, relu);
    };
    (blocks(std::integral_constant<int, Ws>{}), ...);
    blocks(std::integral_constant<int, 1>{});
}

// Fixed-shape row kernels (kernel width K of 3 or 5, stride S of 1 or 2, no
// dilation, multiplier 1) for a path that provides Pixel::Vec, a vector of
// Vec::L float lanes:
//   T, M (lane mask), mask(left), zero(), keep(x) (holds x in a register),
//   load<Masked>(p, m), store<Masked>(p, m, v), fma(x, w, acc) = acc + x * w
//   fused, add, relu, clamp(v, lo, hi) as epi_clamp; kStripPixels, the
//   widest block of pixels, and kPairMaxK, the largest kernel run two rows
//   at a time.
// Each lane sums its taps in (ky, kx) order from 0 exactly as run() does, so
// results stay bit-identical to the portable path.

// Output activation folded into the kernels' stores: ReLU (relu), then the
// clamp of a clamp-only epilogue (clamp).
struct DepthwiseAct {
    bool relu = false, clamp = false;
    float lo = 0.0f, hi = 0.0f;
};

template <class V, bool Masked>
inline void depthwise_finish(typename V::T a, const float* bias, int64_t o, typename V::M m,
                             const DepthwiseAct& act, float* dst) {
    if (bias) a = V::add(a, V::template load<Masked>(bias + o, m));
    if (act.relu) a = V::relu(a);
    if (act.clamp) a = V::clamp(a, act.lo, act.hi);
    V::template store<Masked>(dst, m, a);
}

// P consecutive pixels of one row, all K tap columns inside the image, lanes
// [o, o + L) (masked by m). rows[j] points at channel 0 of the input pixel
// under tap (row j, column 0) of the first pixel. Each input vector of a tap
// row is loaded once and feeds every pixel it reaches: walking the inputs
// left to right hands each pixel its taps in ascending kx.
// At the image's edges, the first SkipLo and last SkipHi input columns lie
// in the padding: they are neither read nor summed, which leaves each pixel
// exactly its taps inside the image; rows[j] then points at the first input
// read.
// With R = 2 the block also computes the output row below (out + out_row),
// for rows whose K tap rows are all inside the image and S input rows apart:
// rows[0 .. K + S - 1] are their input rows, each loaded once for both.
template <class V, int K, int S, int P, bool Masked, int SkipLo = 0, int SkipHi = 0, int R = 1>
inline void depthwise_strip(const float* const* rows, const int64_t* tap_base, int nrows, int64_t c,
                            const float* w_taps, const float* bias, float* out, int64_t cout, int64_t o,
                            typename V::M m, const DepthwiseAct& act, int64_t out_row = 0) {
    using T = typename V::T;
    constexpr int NI = (P - 1) * S + K;  // input pixels a tap row spans
    if constexpr (R == 2) {
        T acc[2][P];
#pragma GCC unroll 32
        for (int q = 0; q < P; ++q) acc[0][q] = acc[1][q] = V::zero();
        // Input row j is tap row j of the upper output row and j - S of the
        // lower one: both still sum their tap rows in ascending order.
#pragma GCC unroll 8
        for (int j = 0; j < K + S; ++j) {
            const float* r = rows[j] + o;
            T w[2][K];
#pragma GCC unroll 8
            for (int kx = 0; kx < K; ++kx) {
                if (j < K) w[0][kx] = V::template load<Masked>(w_taps + int64_t(j * K + kx) * cout + o, m);
                if (j >= S) w[1][kx] = V::template load<Masked>(w_taps + int64_t((j - S) * K + kx) * cout + o, m);
            }
#pragma GCC unroll 64
            for (int i = SkipLo; i < NI - SkipHi; ++i, r += c) {
                T x = V::template load<Masked>(r, m);
                V::keep(x);
#pragma GCC unroll 8
                for (int kx = 0; kx < K; ++kx) {
                    const int d = i - kx;
                    if (d >= 0 && d % S == 0 && d / S < P) {
                        if (j < K) acc[0][d / S] = V::fma(x, w[0][kx], acc[0][d / S]);
                        if (j >= S) acc[1][d / S] = V::fma(x, w[1][kx], acc[1][d / S]);
                    }
                }
            }
        }
#pragma GCC unroll 32
        for (int q = 0; q < P; ++q) {
            depthwise_finish<V, Masked>(acc[0][q], bias, o, m, act, out + q * cout + o);
            depthwise_finish<V, Masked>(acc[1][q], bias, o, m, act, out + out_row + q * cout + o);
        }
        return;
    }
    T acc[P];
#pragma GCC unroll 32
    for (int q = 0; q < P; ++q) acc[q] = V::zero();
    for (int j = 0; j < nrows; ++j) {
        const float* r = rows[j] + o;
        const float* wr = w_taps + tap_base[j] * cout + o;
        T w[K];
#pragma GCC unroll 8
        for (int kx = 0; kx < K; ++kx) w[kx] = V::template load<Masked>(wr + kx * cout, m);
        // One pointer stepped pixel by pixel: an offset per input would take
        // more general registers than there are.
#pragma GCC unroll 64
        for (int i = SkipLo; i < NI - SkipHi; ++i, r += c) {
            T x = V::template load<Masked>(r, m);
            V::keep(x);
#pragma GCC unroll 8
            for (int kx = 0; kx < K; ++kx) {
                const int d = i - kx;
                if (d >= 0 && d % S == 0 && d / S < P) acc[d / S] = V::fma(x, w[kx], acc[d / S]);
            }
        }
    }
#pragma GCC unroll 32
    for (int q = 0; q < P; ++q) depthwise_finish<V, Masked>(acc[q], bias, o, m, act, out + q * cout + o);
}

// The channel vectors of a pixel: [0, peel) first (when peel > 0), then
// vectors of L up to cout, the last one possibly short. A peel brings the
// input loads after it to vector-aligned addresses: a load that straddles
// two cache lines costs two.
struct DepthwiseLanes {
    int64_t peel, cout, L;
    int64_t end_of(int64_t o) const { return o < peel ? peel : std::min(cout, o + L); }
};

// One pixel reading nkx tap columns from row pointers rows[j] (taps
// tap_base[j] ..), channels [o_lo, o_hi): four channel vectors at a time so
// four sums are in flight.
template <class V>
inline void depthwise_pixel(const float* const* rows, const int64_t* tap_base, int nrows, int64_t nkx,
                            int64_t dil_c, const float* w_taps, const float* bias, float* out, int64_t cout,
                            const DepthwiseLanes& lanes, int64_t o_lo, int64_t o_hi, const DepthwiseAct& act) {
    using T = typename V::T;
    constexpr int B = 4;
    for (int64_t o0 = o_lo; o0 < o_hi;) {
        typename V::M m[B];
        int64_t ob[B];
        T acc[B];
        for (int b = 0; b < B; ++b) {
            const int64_t e = o0 < o_hi ? lanes.end_of(o0) : o0;
            ob[b] = o0 < o_hi ? o0 : o_lo;
            m[b] = V::mask(e - o0);
            acc[b] = V::zero();
            o0 = e;
        }
        for (int j = 0; j < nrows; ++j)
            for (int64_t kx = 0; kx < nkx; ++kx) {
                const float* x = rows[j] + kx * dil_c;
                const float* wr = w_taps + (tap_base[j] + kx) * cout;
                for (int b = 0; b < B; ++b)
                    acc[b] = V::fma(V::template load<true>(x + ob[b], m[b]), V::template load<true>(wr + ob[b], m[b]),
                                    acc[b]);
            }
        for (int b = 0; b < B; ++b) depthwise_finish<V, true>(acc[b], bias, ob[b], m[b], act, out + ob[b]);
    }
}

// npix >= 1 interior pixels of one row, channels [o_lo, o_hi) (which start
// on a vector of `lanes`): blocks of PMax pixels, then of 8 and 4 (as far as
// they are narrower than PMax); a remainder of 1 to 3 pixels is a block of 4
// ending at the last pixel (it recomputes, and rewrites identically, pixels
// already done). Runs of fewer than 4 pixels go pixel by pixel.
template <class V, int K, int S, int PMax, int R = 1>
inline void depthwise_strip_run(const float* const* rows, const int64_t* tap_base, int nrows, int64_t c,
                                const float* w_taps, const float* bias, float* out, int64_t cout, int64_t npix,
                                const DepthwiseLanes& lanes, int64_t o_lo, int64_t o_hi, const DepthwiseAct& act,
                                int64_t out_row = 0) {
    if (npix < 4) {
        const float* at[8];
        for (int r = 0; r < R; ++r)
            for (int64_t p = 0; p < npix; ++p) {
                for (int j = 0; j < nrows; ++j) at[j] = rows[j + r * S] + p * S * c;
                depthwise_pixel<V>(at, tap_base, nrows, K, c, w_taps, bias, out + r * out_row + p * cout, cout, lanes,
                                   o_lo, o_hi, act);
            }
        return;
    }
    // Each block of pixels runs all its channels before the next block, so
    // the rows are read front to back.
    int64_t p = 0;
    auto blocks = [&](auto width) {
        constexpr int P = decltype(width)::value;
        if (P > PMax) return;
        const float* at[8];
        for (; p + P <= npix; p += P) {
            for (int j = 0; j < nrows + (R - 1) * S; ++j) at[j] = rows[j] + p * S * c;
            float* dst = out + p * cout;
            for (int64_t o = o_lo; o < o_hi;) {
                const int64_t e = lanes.end_of(o);
                if (e - o == V::L)
                    depthwise_strip<V, K, S, P, false, 0, 0, R>(at, tap_base, nrows, c, w_taps, bias, dst, cout, o,
                                                                V::mask(V::L), act, out_row);
                else
                    depthwise_strip<V, K, S, P, true, 0, 0, R>(at, tap_base, nrows, c, w_taps, bias, dst, cout, o,
                                                               V::mask(e - o), act, out_row);
                o = e;
            }
        }
    };
    blocks(std::integral_constant<int, PMax>{});
    blocks(std::integral_constant<int, 8>{});
    blocks(std::integral_constant<int, 4>{});
    if (p < npix) {
        p = npix - 4;
        blocks(std::integral_constant<int, 4>{});
    }
}

// A block of P pixels with SkipLo / SkipHi padding columns (see
// depthwise_strip), over channels [o_lo, o_hi).
template <class V, int K, int S, int P, int SkipLo, int SkipHi, int R>
inline void depthwise_edge_block(const float* const* rows, const int64_t* tap_base, int nrows, int64_t c,
                                 const float* w_taps, const float* bias, float* out, int64_t cout,
                                 const DepthwiseLanes& lanes, int64_t o_lo, int64_t o_hi, const DepthwiseAct& act,
                                 int64_t out_row) {
    for (int64_t o = o_lo; o < o_hi;) {
        const int64_t e = lanes.end_of(o);
        if (e - o == V::L)
            depthwise_strip<V, K, S, P, false, SkipLo, SkipHi, R>(rows, tap_base, nrows, c, w_taps, bias, out, cout,
                                                                  o, V::mask(V::L), act, out_row);
        else
            depthwise_strip<V, K, S, P, true, SkipLo, SkipHi, R>(rows, tap_base, nrows, c, w_taps, bias, out, cout,
                                                                 o, V::mask(e - o), act, out_row);
        o = e;
    }
}

// The same with the padding column counts known at run time (each 0 to 2).
template <class V, int K, int S, int P, int R>
inline void depthwise_edge(int skip_lo, int skip_hi, const float* const* rows, const int64_t* tap_base, int nrows,
                           int64_t c, const float* w_taps, const float* bias, float* out, int64_t cout,
                           const DepthwiseLanes& lanes, int64_t o_lo, int64_t o_hi, const DepthwiseAct& act,
                           int64_t out_row) {
#define VANTREL_DW_EDGE(lo, hi)                                                                              \
    if (skip_lo == lo && skip_hi == hi)                                                                       \
        return depthwise_edge_block<V, K, S, P, lo, hi, R>(rows, tap_base, nrows, c, w_taps, bias, out, cout, lanes, \
                                                           o_lo, o_hi, act, out_row);
    VANTREL_DW_EDGE(1, 0)
    VANTREL_DW_EDGE(2, 0)
    VANTREL_DW_EDGE(0, 1)
    VANTREL_DW_EDGE(0, 2)
#undef VANTREL_DW_EDGE
}

template <class Pixel, class = void>
struct depthwise_has_vec : std::false_type {};
template <class Pixel>
struct depthwise_has_vec<Pixel, std::void_t<typename Pixel::Vec>> : std::true_type {};

// Rows [oy0, oy1) through the fixed-shape kernels; kw is K, stride_w is S.
// When the input rows read fit in L2, the channels go in groups small enough
// that the K + S input rows a group's output row reads stay in L1 for the
// next output rows, which read most of them again; each group sweeps all the
// rows. A larger input goes all channels at once, so that each row comes
// from memory once and in order.
template <class V, int K, int S>
static void depthwise_rows_fixed(const float* in, const float* w_taps, const float* bias, float* out,
                                 const Conv2dGeometry& g, int64_t cout, const DepthwiseAct& act, int64_t oy0,
                                 int64_t oy1, const ConvEpilogueF32* epi) {
    constexpr int PMax = V::kStripPixels;
    constexpr int64_t vec_bytes = V::L * int64_t(sizeof(float)), l1_budget = 16 * 1024, l2_budget = 512 * 1024;
    const int64_t c = g.c_total;
    const uintptr_t addr = reinterpret_cast<uintptr_t>(in);
    DepthwiseLanes lanes{0, cout, V::L};
    // Only where the extra vector is a small share of the channels.
    if (c % V::L == 0 && c >= 4 * V::L && addr % sizeof(float) == 0)
        lanes.peel = int64_t((vec_bytes - int64_t(addr % uintptr_t(vec_bytes))) % vec_bytes) / int64_t(sizeof(float));
    // Vectors per group; an epilogue left to run needs whole pixels.
    const int64_t read_bytes = ((oy1 - oy0) * g.stride_h + g.kh) * g.w * c * int64_t(sizeof(float));
    const int64_t group = epi || read_bytes > l2_budget
                              ? cout
                              : std::max<int64_t>(1, l1_budget / ((K + S) * g.w * vec_bytes));
    const float* at[8];
    int64_t iy_of[8], base[8], tb[8];
    // Output columns [lo, hi) read every tap column.
    const int64_t lo = std::min(g.ow, (g.pad_w + S - 1) / S);
    const int64_t last = g.w - 1 + g.pad_w - (K - 1);  // largest ox * S
    const int64_t hi = last < 0 ? lo : std::max(lo, std::min(g.ow, last / S + 1));
    // Padding columns past the image under the last pixel's taps.
    const int64_t skip_hi = std::max<int64_t>(0, (g.ow - 1) * S - g.pad_w + K - g.w);
    // Whether blocks of P pixels at the ends can take the border pixels:
    // each reads only its own end's padding.
    auto edges_fit = [&](int64_t P) {
        return g.ow >= P && g.pad_w <= 2 && skip_hi <= 2 && (lo > 0 || hi < g.ow) && (P - 1) * S - g.pad_w + K <= g.w &&
               (g.ow - P) * S - g.pad_w >= 0 && lo <= P && g.ow - hi <= P;
    };
    const int64_t edge_p = edges_fit(PMax) ? PMax : edges_fit(4) ? 4 : 0;
    const int64_t out_row = g.ow * cout;
    auto edge = [&](auto rows_at_once, int skip_lo, int skip_h, int nrows, float* dst, int64_t o_lo, int64_t o_hi) {
        constexpr int R = decltype(rows_at_once)::value;
        if (edge_p == PMax)
            depthwise_edge<V, K, S, PMax, R>(skip_lo, skip_h, at, tb, nrows, c, w_taps, bias, dst, cout, lanes, o_lo,
                                             o_hi, act, out_row);
        else
            depthwise_edge<V, K, S, 4, R>(skip_lo, skip_h, at, tb, nrows, c, w_taps, bias, dst, cout, lanes, o_lo,
                                          o_hi, act, out_row);
    };
    // Two output rows at once (the same stride down as across, both rows
    // clear of the top and bottom padding) load each input row they share
    // once for both; a path takes them up to the kernel size its registers
    // hold both rows' weights for.
    constexpr bool pair_k = K <= V::kPairMaxK;
    const bool pairs = pair_k && g.stride_h == S && g.dil_h == 1 && (edge_p > 0 || (lo == 0 && hi == g.ow));
    auto inside = [&](int64_t oy) {
        const int64_t iy0 = oy * g.stride_h - g.pad_h;
        return iy0 >= 0 && iy0 + g.kh <= g.h;
    };
    for (int64_t o_lo = 0; o_lo < cout;) {
        int64_t o_hi = o_lo;
        for (int64_t v = 0; v < group && o_hi < cout; ++v) o_hi = lanes.end_of(o_hi);
        auto run_rows = [&](int64_t oy, auto rows_at_once) {
            constexpr int R = decltype(rows_at_once)::value;
            int nrows = 0;
            for (int64_t ky = 0; ky < g.kh; ++ky) {
                const int64_t iy = oy * g.stride_h - g.pad_h + ky * g.dil_h;
                if (iy < 0 || iy >= g.h) continue;
                iy_of[nrows] = iy;
                base[nrows] = ky * K;
                ++nrows;
            }
            if (R == 2)  // the lower row's last input rows
                for (int t = 0; t < S; ++t) iy_of[nrows + t] = iy_of[nrows - 1] + 1 + t;
            const int64_t row_flat = oy * g.ow * cout;
            auto border = [&](int64_t ox) {
                int64_t kx0 = 0, kx1 = K;
                const int64_t x0 = ox * S - g.pad_w;
                while (kx0 < K && x0 + kx0 < 0) ++kx0;
                while (kx1 > kx0 && x0 + kx1 - 1 >= g.w) --kx1;
                for (int j = 0; j < nrows; ++j) {
                    at[j] = in + (iy_of[j] * g.w + x0 + kx0) * c;
                    tb[j] = base[j] + kx0;
                }
                depthwise_pixel<V>(at, tb, nrows, kx1 - kx0, c, w_taps, bias, out + row_flat + ox * cout, cout, lanes,
                                   o_lo, o_hi, act);
            };
            int64_t a = lo, b = hi;  // interior pixels left to run
            if (edge_p > 0) {
                // Blocks of edge_p pixels at each end take the border pixels.
                for (int j = 0; j < nrows + (R - 1) * S; ++j) at[j] = in + iy_of[j] * g.w * c;
                for (int j = 0; j < nrows; ++j) tb[j] = base[j];
                if (lo > 0) edge(rows_at_once, int(g.pad_w), 0, nrows, out + row_flat, o_lo, o_hi);
                if (hi < g.ow) {
                    const int64_t ox = g.ow - edge_p;
                    for (int j = 0; j < nrows + (R - 1) * S; ++j) at[j] = in + (iy_of[j] * g.w + ox * S - g.pad_w) * c;
                    edge(rows_at_once, 0, int(skip_hi), nrows, out + row_flat + ox * cout, o_lo, o_hi);
                }
                a = lo > 0 ? edge_p : lo;
                b = hi < g.ow ? g.ow - edge_p : hi;
                // A short middle overlaps the edge blocks rather than going pixel by pixel.
                if (b > a && b - a < 4) a = std::max(lo, b - 4);
            } else {
                for (int64_t ox = 0; ox < lo; ++ox) border(ox);
                for (int64_t ox = hi; ox < g.ow; ++ox) border(ox);
            }
            if (b > a) {
                for (int j = 0; j < nrows + (R - 1) * S; ++j) at[j] = in + (iy_of[j] * g.w + a * S - g.pad_w) * c;
                for (int j = 0; j < nrows; ++j) tb[j] = base[j];
                depthwise_strip_run<V, K, S, PMax, R>(at, tb, nrows, c, w_taps, bias, out + row_flat + a * cout, cout,
                                                      b - a, lanes, o_lo, o_hi, act, out_row);
            }
            if (epi) conv_epilogue_f32(*epi, out + row_flat, row_flat, R * g.ow * cout);
        };
        for (int64_t oy = oy0; oy < oy1;) {
            if constexpr (pair_k) {
                if (pairs && oy + 1 < oy1 && inside(oy) && inside(oy + 1)) {
                    run_rows(oy, std::integral_constant<int, 2>{});
                    oy += 2;
                    continue;
                }
            }
            run_rows(oy, std::integral_constant<int, 1>{});
            ++oy;
        }
        o_lo = o_hi;
    }
}

// Whether the fixed-shape kernels take this convolution; runs it if so.
template <class Pixel>
static bool depthwise_rows_try_fixed(const float* in, const float* w_taps, const float* bias, float* out,
                                     const Conv2dGeometry& g, int64_t cout, bool relu, int64_t oy0, int64_t oy1,
                                     const ConvEpilogueF32* epi) {
    if constexpr (depthwise_has_vec<Pixel>::value) {
        using V = typename Pixel::Vec;
        if (cout != g.c_total || g.dil_w != 1 || g.kh > 8 || g.kh != g.kw) return false;
        DepthwiseAct act;
        act.relu = relu;
        if (epi && epi->act == ConvEpilogueF32::kClamp && !epi->residual) {
            act.clamp = true;
            act.lo = epi->lo;
            act.hi = epi->hi;
            epi = nullptr;
        }
        if (g.kw == 3 && g.stride_w == 1)
            depthwise_rows_fixed<V, 3, 1>(in, w_taps, bias, out, g, cout, act, oy0, oy1, epi);
        else if (g.kw == 3 && g.stride_w == 2)
            depthwise_rows_fixed<V, 3, 2>(in, w_taps, bias, out, g, cout, act, oy0, oy1, epi);
        else if (g.kw == 5 && g.stride_w == 1)
            depthwise_rows_fixed<V, 5, 1>(in, w_taps, bias, out, g, cout, act, oy0, oy1, epi);
        else if (g.kw == 5 && g.stride_w == 2)
            depthwise_rows_fixed<V, 5, 2>(in, w_taps, bias, out, g, cout, act, oy0, oy1, epi);
        else
            return false;
        return true;
    }
    return false;
}

template <class Pixel, class = void>
struct depthwise_has_span : std::false_type {};
template <class Pixel>
struct depthwise_has_span<Pixel, std::void_t<decltype(&Pixel::span)>> : std::true_type {};

template <class Pixel>
static void depthwise_rows_f32(const float* in, const float* w_taps, const float* bias,
                               float* out, const Conv2dGeometry& g, int64_t cout, bool relu,
                               int64_t oy0, int64_t oy1, const ConvEpilogueF32* epi) {
    // Fewer outputs than input channels: each pixel's first cout channels,
    // one output each (a channel prefix of wider pixels).
    const int64_t c = g.c_total, mult = cout < c ? 1 : cout / c;
    if (depthwise_rows_try_fixed<Pixel>(in, w_taps, bias, out, g, cout, relu, oy0, oy1, epi)) return;
    if constexpr (depthwise_has_span<Pixel>::value) {
        if (mult == 1) {
            std::vector<const float*> at(size_t(g.kh));
            std::vector<int64_t> iy_of(size_t(g.kh)), base(size_t(g.kh)), tb(size_t(g.kh));
            // Output columns [lo, hi) read every tap column.
            const int64_t lo = std::min(g.ow, (g.pad_w + g.stride_w - 1) / g.stride_w);
            const int64_t last = g.w - 1 + g.pad_w - (g.kw - 1) * g.dil_w;  // largest ox * stride_w
            const int64_t hi = last < 0 ? lo : std::max(lo, std::min(g.ow, last / g.stride_w + 1));
            for (int64_t oy = oy0; oy < oy1; ++oy) {
                int nrows = 0;
                for (int64_t ky = 0; ky < g.kh; ++ky) {
                    const int64_t iy = oy * g.stride_h - g.pad_h + ky * g.dil_h;
                    if (iy < 0 || iy >= g.h) continue;
                    iy_of[size_t(nrows)] = iy;
                    base[size_t(nrows)] = ky * g.kw;
                    ++nrows;
                }
                // Pixels [ox, ox + np) reading tap columns [kx0, kx0 + nkx).
                auto run = [&](int64_t ox, int64_t np, int64_t kx0, int64_t nkx) {
                    const int64_t ix = ox * g.stride_w - g.pad_w + kx0 * g.dil_w;
                    for (int j = 0; j < nrows; ++j) {
                        at[size_t(j)] = in + (iy_of[size_t(j)] * g.w + ix) * c;
                        tb[size_t(j)] = base[size_t(j)] + kx0;
                    }
                    const int64_t flat = (oy * g.ow + ox) * cout;
                    Pixel::span(at.data(), tb.data(), nrows, nkx, g.dil_w * c, g.stride_w * c, w_taps, bias,
                                out + flat, cout, np, relu);
                    if (epi)
                        for (int64_t p = 0; p < np; ++p)
                            conv_epilogue_f32(*epi, out + flat + p * cout, flat + p * cout, cout);
                };
                // A border pixel reads the tap columns inside the image, a contiguous range.
                auto border = [&](int64_t ox) {
                    int64_t kx0 = 0, kx1 = g.kw;
                    const int64_t x0 = ox * g.stride_w - g.pad_w;
                    while (kx0 < g.kw && x0 + kx0 * g.dil_w < 0) ++kx0;
                    while (kx1 > kx0 && x0 + (kx1 - 1) * g.dil_w >= g.w) --kx1;
                    run(ox, 1, kx0, kx1 - kx0);
                };
                for (int64_t ox = 0; ox < lo; ++ox) border(ox);
                // Pieces of 16 pixels keep the outputs in cache for the epilogue.
                for (int64_t p0 = lo; p0 < hi; p0 += 16) run(p0, std::min<int64_t>(16, hi - p0), 0, g.kw);
                for (int64_t ox = hi; ox < g.ow; ++ox) border(ox);
            }
            return;
        }
    }
    std::vector<const float*> taps(size_t(g.kh * g.kw));
    std::vector<int64_t> index(size_t(g.kh * g.kw));
    for (int64_t oy = oy0; oy < oy1; ++oy) {
        for (int64_t ox = 0; ox < g.ow; ++ox) {
            int n = 0;
            for (int64_t ky = 0; ky < g.kh; ++ky) {
                const int64_t iy = oy * g.stride_h - g.pad_h + ky * g.dil_h;
                if (iy < 0 || iy >= g.h) continue;
                for (int64_t kx = 0; kx < g.kw; ++kx) {
                    const int64_t ix = ox * g.stride_w - g.pad_w + kx * g.dil_w;
                    if (ix < 0 || ix >= g.w) continue;
                    taps[size_t(n)] = in + (iy * g.w + ix) * c;
                    index[size_t(n)] = ky * g.kw + kx;
                    ++n;
                }
            }
            const int64_t flat = (oy * g.ow + ox) * cout;
            Pixel::run(taps.data(), index.data(), n, w_taps, bias, out + flat, cout, mult, relu);
            if (epi) conv_epilogue_f32(*epi, out + flat, flat, cout);
        }
    }
}

template <class Pixel>
static void depthwise_f32(const float* in, const float* w_taps, const float* bias, float* out,
                          int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t kh,
                          int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                          int32_t pad_w, int32_t dilation_h, int32_t dilation_w, bool relu,
                          const ConvEpilogueF32* epi) {
    if (epi && !epi->active()) epi = nullptr;
    if (cin <= 0 || cout <= 0 || h <= 0 || w_in <= 0) return;
    if (cout % cin != 0)
        throw std::runtime_error("conv2d_f32_depthwise: output channels " + std::to_string(cout) +
                                 " are not a multiple of input channels " + std::to_string(cin));
    const Conv2dGeometry g =
        conv2d_geometry(cin, h, w_in, kh, kw, stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w);
    if (g.oh <= 0 || g.ow <= 0) return;
    // Output rows from the strip pool, a few strips per thread: a thread
    // the OS runs late takes fewer of them. Every pixel's sum is the same
    // whatever rows a strip holds.
    const int team = strip_team();
    const int strips = int(std::min<int64_t>(g.oh, int64_t(team) * kDepthwiseStripsPerThread));
    run_strips(strips, team, [&](int64_t i, int) {
        const SplitRange rows = balanced_split(g.oh, strips, int(i));
        depthwise_rows_f32<Pixel>(in, w_taps, bias, out, g, cout, relu, rows.begin, rows.end, epi);
    });
}

// One output channel, the reference order every path follows.
static inline float depthwise_channel_f32(const float* const* taps, const int64_t* index, int n,
                                          const float* w_taps, const float* bias, int64_t o,
                                          int64_t ci, int64_t cout, bool relu) {
    float s = 0.0f;
    for (int i = 0; i < n; ++i) s = std::fmaf(taps[i][ci], w_taps[index[i] * cout + o], s);
    if (bias) s = s + bias[o];
    if (relu) s = s > 0.0f ? s : 0.0f;
    return s;
}

}  // namespace vantrel
