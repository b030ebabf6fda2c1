// Pixel loop shared by every path of the direct grouped convolution:
// geometry, the thread split of output rows, a table of where each output
// pixel reads each tap, and blocks of consecutive output pixels (across row
// ends). Each path supplies Pixel::channels(const GroupedSpan&, npix, o0, o1),
// which computes output channels [o0, o1) of the block's npix pixels.
//
// Taps outside the image read a row of zeros: every output sums all kh * kw
// taps, so a block can take any pixels (border ones and several short rows
// included) and still keep a vector accumulator per pixel busy. A zero term
// leaves a sum unchanged (the sums start at +0 and never become -0); with
// an infinite or NaN weight the result is NaN, as a convolution over a
// zero-padded input gives.
//
// Everything here has internal linkage, so each instruction-set file keeps
// its own copy (one compiled with wider instructions must never stand in for
// another's).
#pragma once
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
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {
namespace {

// Pixels handed to a path at a time.
constexpr int64_t kGroupedBlockPixels = 16;
// Images of at most this many output pixels may be split between threads
// by output channels.
constexpr int64_t kGroupedChannelSplitPixels = 14 * 14;

// A block of output pixels: px[q * ntaps + t] points at channel 0 of the
// input pixel that pixel q reads at tap t = ky * kw + kx (a row of zeros
// outside the image); pixel q writes out + q * cout.
struct GroupedSpan {
    const float* const* px;
    const float* w_taps;
    const float* bias;
    float* out;
    int64_t cout, cig, cog, ntaps;
    bool relu;

    // Weights of output channels o.. of block-major w_taps (see
    // grouped_weights_tap_major_f32); element (t, ci) is at +(t * cig + ci) *
    // block_width(o). A vector of up to 16 lanes starting at a multiple of
    // its width lies inside one block.
    const float* weights_of(int64_t o) const {
        const int64_t b0 = o - o % 16;
        return w_taps + b0 * ntaps * cig + (o - b0);
    }
    int64_t block_width(int64_t o) const { return std::min<int64_t>(16, cout - (o - o % 16)); }
};

// Output channels [o0, o1) of pixel q, in the order every path follows.
inline void grouped_scalar_f32(const GroupedSpan& s, int64_t q, int64_t o0, int64_t o1) {
    for (int64_t o = o0; o < o1; ++o) {
        const int64_t first = o / s.cog * s.cig;  // the group's first input channel
        const float* wo = s.weights_of(o);
        const int64_t wb = s.block_width(o);
        float acc = 0.0f;
        for (int64_t t = 0; t < s.ntaps; ++t) {
            const float* x = s.px[q * s.ntaps + t] + first;
            const float* w = wo + t * s.cig * wb;
            for (int64_t ci = 0; ci < s.cig; ++ci) acc = std::fmaf(x[ci], w[ci * wb], acc);
        }
        if (s.bias) acc = acc + s.bias[o];
        if (s.relu) acc = acc > 0.0f ? acc : 0.0f;
        s.out[q * s.cout + o] = acc;
    }
}

// Output channels are taken in slabs whose weights stay in the first-level
// cache while every pixel of the thread's share reads them (a slab is a
// whole number of 16-channel blocks, so every vector block lies inside one).
// At least two blocks: a group of 32 channels is then one slab and a pair of
// vectors, which copies its input once and shares each broadcast, and so
// are two groups of 16 (their weights come from the second-level cache at
// one vector per eight multiply-adds).
int64_t grouped_slab_channels(int64_t cout, int64_t taps, int64_t cig) {
    const int64_t per_channel = taps * cig * int64_t(sizeof(float));
    const int64_t slab = std::max<int64_t>(2, (16 * 1024 / per_channel) / 16) * 16;
    return std::min(slab, cout);
}

template <class Pixel>
void grouped_rows_f32(const float* in, const float* zeros, const float* w_taps, const float* bias, float* out,
                      const Conv2dGeometry& g, int64_t cout, int64_t groups, bool relu, int64_t oy0,
                      int64_t oy1, int64_t c0, int64_t c1) {
    const int64_t c = g.c_total, ntaps = g.kh * g.kw;
    // Rows in chunks of a bounded table (some 64k pointers), each built once
    // and read by every slab.
    const int64_t chunk = std::max<int64_t>(1, (int64_t(1) << 16) / (g.ow * ntaps));
    std::vector<const float*> table(size_t(std::min(chunk, oy1 - oy0) * g.ow * ntaps));
    GroupedSpan s{nullptr, w_taps, bias, nullptr, cout, c / groups, cout / groups, ntaps, relu};
    const int64_t slab = grouped_slab_channels(cout, ntaps, s.cig);
    for (int64_t r0 = oy0; r0 < oy1; r0 += chunk) {
        const int64_t r1 = std::min(oy1, r0 + chunk);
        const float** at = table.data();
        for (int64_t oy = r0; oy < r1; ++oy)
            for (int64_t ox = 0; ox < g.ow; ++ox)
                for (int64_t ky = 0; ky < g.kh; ++ky) {
                    const int64_t iy = oy * g.stride_h - g.pad_h + ky * g.dil_h;
                    for (int64_t kx = 0; kx < g.kw; ++kx) {
                        const int64_t ix = ox * g.stride_w - g.pad_w + kx * g.dil_w;
                        const bool inside = iy >= 0 && iy < g.h && ix >= 0 && ix < g.w;
                        *at++ = inside ? in + (iy * g.w + ix) * c : zeros;
                    }
                }
        const int64_t f0 = r0 * g.ow, f1 = r1 * g.ow;
        for (int64_t o0 = c0; o0 < c1; o0 += slab) {
            const int64_t o1 = std::min(c1, o0 + slab);
            for (int64_t f = f0; f < f1; f += kGroupedBlockPixels) {
                s.px = table.data() + (f - f0) * ntaps;
                s.out = out + f * cout;
                Pixel::channels(s, std::min(kGroupedBlockPixels, f1 - f), o0, o1);
            }
        }
    }
}

template <class Pixel>
void grouped_f32(const float* in, const float* w_taps, const float* bias, float* out, int32_t cin, int32_t h,
                 int32_t w_in, int32_t cout, int32_t groups, int32_t kh, int32_t kw, int32_t stride_h,
                 int32_t stride_w, int32_t pad_h, int32_t pad_w, int32_t dilation_h, int32_t dilation_w,
                 bool relu) {
    if (groups <= 0 || cin <= 0 || cout <= 0 || cin % groups != 0 || cout % groups != 0)
        throw std::runtime_error("conv2d_f32_grouped: " + std::to_string(groups) +
                                 " groups do not divide " + std::to_string(cin) + " input and " +
                                 std::to_string(cout) + " output channels");
    if (h <= 0 || w_in <= 0) return;
    const Conv2dGeometry g =
        conv2d_geometry(cin, h, w_in, kh, kw, stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w);
    if (g.oh <= 0 || g.ow <= 0) return;
    // What taps outside the image read: a whole pixel of zeros.
    const std::vector<float> zeros(size_t(cin), 0.0f);
    const int threads = strip_team();
    // Small images (the late stages' 14x14 and 7x7) are split by output
    // channels when that shares the work at least as evenly as rows: each
    // thread then reads only its share of the weights, which outweigh the
    // image there (7 rows would also split 4 + 3). Steps of whole 16-channel
    // blocks, 32 when groups of 32 run as vector pairs.
    const int64_t unit = cout / groups % 32 == 0 ? 32 : 16, units = (cout + unit - 1) / unit;
    auto heaviest = [&](int64_t n) { return (n + threads - 1) / threads; };
    if (threads > 1 && g.oh * g.ow <= kGroupedChannelSplitPixels && units >= threads &&
        heaviest(units) * unit * g.oh <= heaviest(g.oh) * cout) {
        run_shares(units, threads, [&](int64_t u0, int64_t u1) {
            grouped_rows_f32<Pixel>(in, zeros.data(), w_taps, bias, out, g, cout, groups, relu, 0, g.oh, u0 * unit,
                                    std::min<int64_t>(cout, u1 * unit));
        });
    } else {
        run_shares(g.oh, g.oh < 2 ? 1 : threads, [&](int64_t r0, int64_t r1) {
            grouped_rows_f32<Pixel>(in, zeros.data(), w_taps, bias, out, g, cout, groups, relu, r0, r1, 0, cout);
        });
    }
}

// Portable path and the end of every vector path's chain: channel by channel.
struct GroupedScalarChannels {
    static void channels(const GroupedSpan& s, int64_t npix, int64_t o0, int64_t o1) {
        for (int64_t q = 0; q < npix; ++q) grouped_scalar_f32(s, q, o0, o1);
    }
};

template <class F, int... I>
inline void grouped_unroll(F& f, std::integer_sequence<int, I...>) {
    (f(std::integral_constant<int, I>{}), ...);
}

// Vectors of V::kLanes output channels, in one of three layouts:
// - groups of cig == cog input and output channels dividing the lanes: the
//   vector's input channels (the same channel numbers as its outputs) are
//   loaded at once and input channel ci of each group is replicated within
//   the group's lanes by V::template in_group<cog, ci>;
// - lanes of one group: each input channel is broadcast to every lane;
// - lanes of two groups: the two groups' input channels are broadcast and
//   blended.
// V::kPix pixels share each weight vector. Channels no vector covers (a
// tail, or lanes of three or more groups) go to Next.
// V provides: type T, kLanes, kPix, kCopyInput, zero, load, bcast, fma(a, b, acc), add,
// relu, store, in_group<CG, CI>(x), has_group(cog), type M, split(n) (lanes
// from n on) and blend(m, a, b) (b on m's lanes).
template <class V, class Next>
struct GroupedVecChannels {
    using T = typename V::T;
    static constexpr int L = V::kLanes;
    // Input rows of the broadcast blocks: channels per pixel and taps per
    // copy (a 3x3 kernel's in one).
    static constexpr int64_t kPackStride = 32, kPackTaps = 9;

    static void copy_floats(float* d, const float* x, int64_t n) {
        int64_t j = 0;
        for (; j + L <= n; j += L) V::store(d + j, V::load(x + j));
        for (; j < n; ++j) d[j] = x[j];
    }

    // NB neighbouring vectors of channels from o0, each of lanes of one
    // group or (Pair<b>) two; in vector b, lanes from split[b] on belong to
    // the group after its first lane's. NB * P sums in flight cover the
    // multiply-add latency.
    template <int P, int NB, bool Pair0, bool Pair1>
    static void bcast_block(const GroupedSpan& s, int64_t q0, int64_t o0, const int64_t* split) {
        T acc[NB][P];
        for (int b = 0; b < NB; ++b)
            for (int q = 0; q < P; ++q) acc[b][q] = V::zero();
        const int64_t first = o0 / s.cog * s.cig;
        int64_t off[NB], wb[NB];
        const float* wo[NB];
        typename V::M m[NB];
        for (int b = 0; b < NB; ++b) {
            const int64_t o = o0 + b * L;
            off[b] = o / s.cog * s.cig - first;
            wo[b] = s.weights_of(o);
            wb[b] = s.block_width(o);
            m[b] = V::split(int(std::min<int64_t>(split[b], L - 1)));
        }
        const float* const* px = s.px + q0 * s.ntaps;
        auto in_of = [&](auto bc, const float* x) {
            constexpr int b = decltype(bc)::value;
            constexpr bool pair = b == 0 ? Pair0 : Pair1;
            if constexpr (pair)
                return V::blend(m[b], V::bcast(x + off[b]), V::bcast(x + off[b] + s.cig));
            else
                return V::bcast(x + off[b]);
        };
        const float* w[NB];
        for (int b = 0; b < NB; ++b) w[b] = wo[b];
        auto taps = [&](int64_t t0, int64_t t1, auto&& x_of) {
          for (int64_t t = t0; t < t1; ++t) {
            const float* x[P];
            for (int q = 0; q < P; ++q) x[q] = x_of(t, q);
            for (int64_t ci = 0; ci < s.cig; ++ci) {
                T wv[NB];
                for (int b = 0; b < NB; ++b) {
                    wv[b] = V::load(w[b]);
                    w[b] += wb[b];
                }
                for (int q = 0; q < P; ++q) {
                    acc[0][q] = V::fma(in_of(std::integral_constant<int, 0>{}, x[q] + ci), wv[0], acc[0][q]);
                    if constexpr (NB > 1)
                        acc[1][q] = V::fma(in_of(std::integral_constant<int, 1>{}, x[q] + ci), wv[1], acc[1][q]);
                }
            }
          }
        };
        // With V::kCopyInput, the channels the vectors read are copied per
        // tap into rows a fixed stride apart: one pointer then reaches every
        // pixel, where V::kPix pointers of their own would spill out of the
        // x86 general registers. Where they fit, the copy only costs.
        const int64_t span = off[NB - 1] + ((NB == 1 ? Pair0 : Pair1) ? 2 : 1) * s.cig;
        if (V::kCopyInput && P == V::kPix && span <= kPackStride) {
            alignas(64) float pack[kPackTaps][P][kPackStride];
            for (int64_t t0 = 0; t0 < s.ntaps; t0 += kPackTaps) {
                const int64_t t1 = std::min(s.ntaps, t0 + kPackTaps);
                for (int64_t t = t0; t < t1; ++t)
                    for (int q = 0; q < P; ++q) copy_floats(pack[t - t0][q], px[q * s.ntaps + t] + first, span);
                taps(t0, t1, [&](int64_t t, int q) -> const float* { return pack[t - t0][q]; });
            }
        } else {
            taps(0, s.ntaps, [&](int64_t t, int q) { return px[q * s.ntaps + t] + first; });
        }
        for (int b = 0; b < NB; ++b) finish<P>(s, q0, o0 + b * L, acc[b]);
    }

    template <int NB>
    static void bcast_blocks(const GroupedSpan& s, int64_t npix, int64_t o, const int64_t* split) {
        auto go = [&](auto p0, auto p1) {
            constexpr bool a = decltype(p0)::value, b = decltype(p1)::value;
            pixels(npix, [&](auto pc, int64_t q) { bcast_block<decltype(pc)::value, NB, a, b>(s, q, o, split); });
        };
        // Two vectors at once only of one group each: the blend's extra
        // offsets would not fit the general registers.
        if (NB == 1 && split[0] < L)
            go(std::true_type{}, std::false_type{});
        else
            go(std::false_type{}, std::false_type{});
    }

    template <int P, int CG>
    static void group_block(const GroupedSpan& s, int64_t q0, int64_t o0) {
        T acc[P];
        for (int q = 0; q < P; ++q) acc[q] = V::zero();
        const float* wo = s.weights_of(o0);
        const int64_t wb = s.block_width(o0);
        const float* const* px = s.px + q0 * s.ntaps;
        for (int64_t t = 0; t < s.ntaps; ++t) {
            const float* w = wo + t * CG * wb;
            T xv[P];
            for (int q = 0; q < P; ++q) xv[q] = V::load(px[q * s.ntaps + t] + o0);
            auto term = [&](auto ci) {
                const T wv = V::load(w + decltype(ci)::value * wb);
                for (int q = 0; q < P; ++q)
                    acc[q] = V::fma(V::template in_group<CG, decltype(ci)::value>(xv[q]), wv, acc[q]);
            };
            grouped_unroll(term, std::make_integer_sequence<int, CG>{});
        }
        finish<P>(s, q0, o0, acc);
    }

    template <int P>
    static void finish(const GroupedSpan& s, int64_t q0, int64_t o0, T* acc) {
        const T bv = s.bias ? V::load(s.bias + o0) : V::zero();
        for (int q = 0; q < P; ++q) {
            T a = acc[q];
            if (s.bias) a = V::add(a, bv);
            if (s.relu) a = V::relu(a);
            V::store(s.out + (q0 + q) * s.cout + o0, a);
        }
    }

    template <class Block>
    static void pixels(int64_t npix, Block&& block) {
        int64_t q = 0;
        for (; q + V::kPix <= npix; q += V::kPix) block(std::integral_constant<int, V::kPix>{}, q);
        for (; q + 4 <= npix; q += 4) block(std::integral_constant<int, 4>{}, q);
        for (; q < npix; ++q) block(std::integral_constant<int, 1>{}, q);
    }

    template <int CG>
    static void group_blocks(const GroupedSpan& s, int64_t npix, int64_t o0, int64_t o1) {
        for (; o0 < o1; o0 += L)
            pixels(npix, [&](auto pc, int64_t q) { group_block<decltype(pc)::value, CG>(s, q, o0); });
    }

    static void channels(const GroupedSpan& s, int64_t npix, int64_t o0, int64_t o1) {
        const int64_t full = o0 + (o1 - o0) / L * L;
        if (full > o0 && s.cig == s.cog && L % s.cog == 0 && V::has_group(s.cog)) {
            switch (s.cog) {
                case 2: group_blocks<2>(s, npix, o0, full); break;
                case 4: group_blocks<4>(s, npix, o0, full); break;
                default: group_blocks<8>(s, npix, o0, full); break;
            }
        } else {
            // Where the lanes of vector o turn to the next group (L: never);
            // -1 when they cover three groups or more.
            auto split_of = [&](int64_t o) -> int64_t {
                const int64_t g0 = o / s.cog, g1 = (o + L - 1) / s.cog;
                return g1 - g0 > 1 ? -1 : g1 == g0 ? L : g1 * s.cog - o;
            };
            for (int64_t o = o0; o < full;) {
                const int64_t split[2] = {split_of(o), o + 2 * L <= full ? split_of(o + L) : -1};
                if (split[0] < 0) {
                    Next::channels(s, npix, o, o + L);
                    o += L;
                } else if (split[0] == L && split[1] == L) {
                    bcast_blocks<2>(s, npix, o, split);
                    o += 2 * L;
                } else {
                    bcast_blocks<1>(s, npix, o, split);
                    o += L;
                }
            }
        }
        if (full < o1) Next::channels(s, npix, full, o1);
    }
};

}  // namespace

#define VANTREL_GROUPED_F32_ENTRY_POINT(path, Pixel)                                                     \
    void conv2d_f32_grouped_direct_##path(VANTREL_GROUPED_F32_ARGS) {                                    \
        grouped_f32<Pixel>(in, w_taps, bias, out, cin, h, w_in, cout, groups, kh, kw, stride_h, stride_w, \
                           pad_h, pad_w, dilation_h, dilation_w, relu);                                 \
    }

}  // namespace vantrel
