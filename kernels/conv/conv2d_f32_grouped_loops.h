// Pixel loop shared by every path of the direct grouped convolution:
// geometry, the thread split of output rows and, per output row, runs of
// pixels that read the same tap columns. Each path supplies
// Pixel::span(const GroupedSpan&, npix), which computes the cout outputs of
// npix consecutive pixels.
//
// Everything here has internal linkage, so each instruction-set file keeps
// its own copy (one compiled with wider instructions must never stand in for
// another's).
#pragma once
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/conv/conv2d_f32_grouped.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/quantize.h"

namespace vantrel {
namespace {

// A run of pixels of one output row. rows[j] points at channel 0 of the
// input pixel read by valid tap row j, tap column kx0, for the run's first
// pixel; that tap's index is tap_base[j] = ky * kw + kx0 and the run reads
// tap columns kx0 .. kx0 + nkx - 1. Pixel p reads rows[j] + p * step_c +
// kx * dil_c and writes out + p * cout.
struct GroupedSpan {
    const float* const* rows;
    const int64_t* tap_base;
    int nrows;
    int64_t nkx, dil_c, step_c;
    const float* w_taps;
    const float* bias;
    float* out;
    int64_t cout, cig, cog;
    bool relu;
};

// Output channels [o0, o1) of pixel p, in the order every path follows.
inline void grouped_scalar_f32(const GroupedSpan& s, int64_t p, int64_t o0, int64_t o1) {
    for (int64_t o = o0; o < o1; ++o) {
        const int64_t first = o / s.cog * s.cig;  // the group's first input channel
        float acc = 0.0f;
        for (int j = 0; j < s.nrows; ++j)
            for (int64_t kx = 0; kx < s.nkx; ++kx) {
                const float* x = s.rows[j] + p * s.step_c + kx * s.dil_c + first;
                const float* w = s.w_taps + (s.tap_base[j] + kx) * s.cig * s.cout + o;
                for (int64_t ci = 0; ci < s.cig; ++ci) acc = std::fmaf(x[ci], w[ci * s.cout], acc);
            }
        if (s.bias) acc = acc + s.bias[o];
        if (s.relu) acc = acc > 0.0f ? acc : 0.0f;
        s.out[p * s.cout + o] = acc;
    }
}

template <class Pixel>
void grouped_rows_f32(const float* in, const float* w_taps, const float* bias, float* out,
                             const Conv2dGeometry& g, int64_t cout, int64_t groups, bool relu,
                             int64_t oy0, int64_t oy1) {
    const int64_t c = g.c_total;
    std::vector<const float*> at(size_t(g.kh));
    std::vector<int64_t> iy_of(size_t(g.kh)), base(size_t(g.kh)), tb(size_t(g.kh));
    // Output columns [lo, hi) read every tap column.
    const int64_t lo = std::min(g.ow, (g.pad_w + g.stride_w - 1) / g.stride_w);
    const int64_t last = g.w - 1 + g.pad_w - (g.kw - 1) * g.dil_w;  // largest ox * stride_w
    const int64_t hi = last < 0 ? lo : std::max(lo, std::min(g.ow, last / g.stride_w + 1));
    GroupedSpan s{at.data(), tb.data(), 0, 0, g.dil_w * c, g.stride_w * c, w_taps, bias, nullptr,
                  cout, c / groups, cout / groups, relu};
    for (int64_t oy = oy0; oy < oy1; ++oy) {
        int nrows = 0;
        for (int64_t ky = 0; ky < g.kh; ++ky) {
            const int64_t iy = oy * g.stride_h - g.pad_h + ky * g.dil_h;
            if (iy < 0 || iy >= g.h) continue;
            iy_of[size_t(nrows)] = iy;
            base[size_t(nrows)] = ky * g.kw;
            ++nrows;
        }
        s.nrows = nrows;
        auto run = [&](int64_t ox, int64_t np, int64_t kx0, int64_t nkx) {
            const int64_t ix = ox * g.stride_w - g.pad_w + kx0 * g.dil_w;
            for (int j = 0; j < nrows; ++j) {
                at[size_t(j)] = in + (iy_of[size_t(j)] * g.w + ix) * c;
                tb[size_t(j)] = base[size_t(j)] + kx0;
            }
            s.nkx = nkx;
            s.out = out + (oy * g.ow + ox) * cout;
            Pixel::span(s, np);
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
        if (hi > lo) run(lo, hi - lo, 0, g.kw);
        for (int64_t ox = hi; ox < g.ow; ++ox) border(ox);
    }
}

template <class Pixel>
void grouped_f32(const float* in, const float* w_taps, const float* bias, float* out, int32_t cin,
                        int32_t h, int32_t w_in, int32_t cout, int32_t groups, int32_t kh, int32_t kw,
                        int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w, int32_t dilation_h,
                        int32_t dilation_w, bool relu) {
    if (groups <= 0 || cin <= 0 || cout <= 0 || cin % groups != 0 || cout % groups != 0)
        throw std::runtime_error("conv2d_f32_grouped: " + std::to_string(groups) +
                                 " groups do not divide " + std::to_string(cin) + " input and " +
                                 std::to_string(cout) + " output channels");
    if (h <= 0 || w_in <= 0) return;
    const Conv2dGeometry g =
        conv2d_geometry(cin, h, w_in, kh, kw, stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w);
    if (g.oh <= 0 || g.ow <= 0) return;
    const int threads = omp_get_max_threads();
    if (threads < 2 || g.oh < 2) {
        grouped_rows_f32<Pixel>(in, w_taps, bias, out, g, cout, groups, relu, 0, g.oh);
        return;
    }
#pragma omp parallel num_threads(threads)
    {
        const SplitRange rows = balanced_split(g.oh, omp_get_num_threads(), omp_get_thread_num());
        grouped_rows_f32<Pixel>(in, w_taps, bias, out, g, cout, groups, relu, rows.begin, rows.end);
    }
}

// Portable path and the end of every vector path's chain: channel by channel.
struct GroupedScalarChannels {
    static void channels(const GroupedSpan& s, int64_t npix, int64_t o0, int64_t o1) {
        for (int64_t p = 0; p < npix; ++p) grouped_scalar_f32(s, p, o0, o1);
    }
    static void span(const GroupedSpan& s, int64_t npix) { channels(s, npix, 0, s.cout); }
};

template <class F, int... I>
inline void grouped_unroll(F& f, std::integer_sequence<int, I...>) {
    (f(std::integral_constant<int, I>{}), ...);
}

// Vectors of V::kLanes output channels, in one of two layouts:
// - one group per vector (cog a multiple of the lanes): each input channel
//   is broadcast to every lane;
// - whole groups per vector (cig == cog dividing the lanes): the vector's
//   input channels are loaded at once (they are the same channel numbers as
//   its outputs) and input channel ci of each group is replicated within the
//   group's lanes by V::template in_group<cog, ci>.
// V::kPix pixels share each weight vector. Channels no vector covers (the
// tail, or another layout) go to Next.
// V provides: type T, kLanes, kPix, zero, load, bcast, fma(a, b, acc),
// add, relu, store, in_group<CG, CI>(x) and has_group(cog).
template <class V, class Next>
struct GroupedVecChannels {
    using T = typename V::T;
    static constexpr int L = V::kLanes;

    template <int P>
    static void bcast_block(const GroupedSpan& s, int64_t p, int64_t o0) {
        T acc[P];
        for (int q = 0; q < P; ++q) acc[q] = V::zero();
        const int64_t first = o0 / s.cog * s.cig;
        for (int j = 0; j < s.nrows; ++j)
            for (int64_t kx = 0; kx < s.nkx; ++kx) {
                const float* x = s.rows[j] + p * s.step_c + kx * s.dil_c + first;
                const float* w = s.w_taps + (s.tap_base[j] + kx) * s.cig * s.cout + o0;
                for (int64_t ci = 0; ci < s.cig; ++ci) {
                    const T wv = V::load(w + ci * s.cout);
                    for (int q = 0; q < P; ++q) acc[q] = V::fma(V::bcast(x + q * s.step_c + ci), wv, acc[q]);
                }
            }
        finish<P>(s, p, o0, acc);
    }

    template <int P, int CG>
    static void group_block(const GroupedSpan& s, int64_t p, int64_t o0) {
        T acc[P];
        for (int q = 0; q < P; ++q) acc[q] = V::zero();
        for (int j = 0; j < s.nrows; ++j)
            for (int64_t kx = 0; kx < s.nkx; ++kx) {
                const float* x = s.rows[j] + p * s.step_c + kx * s.dil_c + o0;
                const float* w = s.w_taps + (s.tap_base[j] + kx) * CG * s.cout + o0;
                T xv[P];
                for (int q = 0; q < P; ++q) xv[q] = V::load(x + q * s.step_c);
                auto term = [&](auto ci) {
                    const T wv = V::load(w + decltype(ci)::value * s.cout);
                    for (int q = 0; q < P; ++q)
                        acc[q] = V::fma(V::template in_group<CG, decltype(ci)::value>(xv[q]), wv, acc[q]);
                };
                grouped_unroll(term, std::make_integer_sequence<int, CG>{});
            }
        finish<P>(s, p, o0, acc);
    }

    template <int P>
    static void finish(const GroupedSpan& s, int64_t p, int64_t o0, T* acc) {
        const T bv = s.bias ? V::load(s.bias + o0) : V::zero();
        for (int q = 0; q < P; ++q) {
            T a = acc[q];
            if (s.bias) a = V::add(a, bv);
            if (s.relu) a = V::relu(a);
            V::store(s.out + (p + q) * s.cout + o0, a);
        }
    }

    template <class Block>
    static void pixels(int64_t npix, Block&& block) {
        int64_t p = 0;
        for (; p + V::kPix <= npix; p += V::kPix) block(std::integral_constant<int, V::kPix>{}, p);
        for (; p + 4 <= npix; p += 4) block(std::integral_constant<int, 4>{}, p);
        for (; p < npix; ++p) block(std::integral_constant<int, 1>{}, p);
    }

    template <int CG>
    static void group_blocks(const GroupedSpan& s, int64_t npix, int64_t o0, int64_t o1) {
        for (; o0 < o1; o0 += L)
            pixels(npix, [&](auto pc, int64_t p) { group_block<decltype(pc)::value, CG>(s, p, o0); });
    }

    static void channels(const GroupedSpan& s, int64_t npix, int64_t o0, int64_t o1) {
        const int64_t full = o0 + (o1 - o0) / L * L;
        if (full > o0 && s.cog % L == 0) {
            for (int64_t o = o0; o < full; o += L)
                pixels(npix, [&](auto pc, int64_t p) { bcast_block<decltype(pc)::value>(s, p, o); });
        } else if (full > o0 && s.cig == s.cog && L % s.cog == 0 && V::has_group(s.cog)) {
            switch (s.cog) {
                case 2: group_blocks<2>(s, npix, o0, full); break;
                case 4: group_blocks<4>(s, npix, o0, full); break;
                default: group_blocks<8>(s, npix, o0, full); break;
            }
        } else {
            Next::channels(s, npix, o0, o1);
            return;
        }
        if (full < o1) Next::channels(s, npix, full, o1);
    }
    static void span(const GroupedSpan& s, int64_t npix) { channels(s, npix, 0, s.cout); }
};

}  // namespace

#define VANTREL_GROUPED_F32_ENTRY_POINT(path, Pixel)                                                     \
    void conv2d_f32_grouped_direct_##path(VANTREL_GROUPED_F32_ARGS) {                                    \
        grouped_f32<Pixel>(in, w_taps, bias, out, cin, h, w_in, cout, groups, kh, kw, stride_h, stride_w, \
                           pad_h, pad_w, dilation_h, dilation_w, relu);                                 \
    }

}  // namespace vantrel
