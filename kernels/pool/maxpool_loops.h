// Window loops shared by every max-pooling path; each path supplies the
// vector operations. Channels are the vector axis: for each output pixel the
// window is walked in (ky, kx) order for blocks of 4, then 1, then a partial
// vector of channels, so all paths apply the same maxima in the same order.
//
// Ops provides: element type T, vector type V with L lanes, lowest(),
// load(p), load_n(p, n) (reads p[0..n); the other lanes are never stored, so
// their fill does not matter), store(p, v), store_n(p, v, n) (writes lanes
// < n only), max(m, x). The lane structs of kernels/simd supply all but T,
// lowest and max.
//
// The template is static so each instruction-set file keeps its own copy.
#pragma once
#include <cstdint>
#include <type_traits>

#include "kernels/pool/pool_geometry.h"

namespace vantrel {

// Whether Ops offers the quick maximum (kFastMax): fast_max(m, x) equals max(m, x)
// whenever neither holds a NaN, and nan_seen(x, y) flags the lanes where x
// or y is one (the caller ORs the flags over a window with or_flags and asks
// any_flag at the end).
template <class Ops, class = void>
struct HasFastMax : std::false_type {};
template <class Ops>
struct HasFastMax<Ops, std::void_t<decltype(Ops::kFastMax)>> : std::true_type {};

// Whether Ops offers the plain maximum (kPlainMax): plain_max(m, x), one
// instruction, equals max(m, x) while no value walked holds a NaN or -0
// (equal values then have equal bits, and no order is left to the rule),
// and nan_or_neg_zero(p, n) tells whether p[0, n) holds one. Input rows are
// checked once each as the output rows reach them; windows over clean rows
// then take the plain maximum, the others the walks below.
template <class Ops, class = void>
struct HasPlainMax : std::false_type {};
template <class Ops>
struct HasPlainMax<Ops, std::void_t<decltype(Ops::kPlainMax)>> : std::true_type {};

// Maxima of channels ch .. ch + B*L - 1 over one window, stored at o. With
// Plain, the window reads no NaN and no -0 and the plain maximum walks it.
// Otherwise, with a quick maximum the window is first walked with it; only
// a window holding a NaN, which the quick form would not order by the rule,
// is walked again with the exact one (from scratch, so the result is the
// exact walk's).
template <class Ops, int B, bool Plain>
static inline void maxpool_window(const typename Ops::T* in, typename Ops::T* o, int64_t W, int64_t C,
                                  int64_t ch, const PoolSpan& ys, const PoolSpan& xs) {
    using V = typename Ops::V;
    constexpr int64_t L = Ops::L;
    V m[B];
    if constexpr (Plain) {
        for (int b = 0; b < B; ++b) m[b] = Ops::lowest();
        for (int64_t iy = ys.begin; iy < ys.end; ++iy)
            for (int64_t ix = xs.begin; ix < xs.end; ++ix) {
                const typename Ops::T* p = in + (iy * W + ix) * C + ch;
                for (int b = 0; b < B; ++b) m[b] = Ops::plain_max(m[b], Ops::load(p + b * L));
            }
        for (int b = 0; b < B; ++b) Ops::store(o + ch + b * L, m[b]);
        return;
    }
    if constexpr (HasFastMax<Ops>::value) {
        for (int b = 0; b < B; ++b) m[b] = Ops::lowest();
        auto flags = Ops::no_flags();
        for (int64_t iy = ys.begin; iy < ys.end; ++iy)
            for (int64_t ix = xs.begin; ix < xs.end; ++ix) {
                const typename Ops::T* p = in + (iy * W + ix) * C + ch;
                V x[B];
                for (int b = 0; b < B; ++b) x[b] = Ops::load(p + b * L);
                for (int b = 0; b < B; ++b) m[b] = Ops::fast_max(m[b], x[b]);
                for (int b = 0; b < B; b += 2)
                    flags = Ops::or_flags(flags, Ops::nan_seen(x[b], x[b + 1 < B ? b + 1 : b]));
            }
        if (!Ops::any_flag(flags)) {
            for (int b = 0; b < B; ++b) Ops::store(o + ch + b * L, m[b]);
            return;
        }
    }
    for (int b = 0; b < B; ++b) m[b] = Ops::lowest();
    for (int64_t iy = ys.begin; iy < ys.end; ++iy)
        for (int64_t ix = xs.begin; ix < xs.end; ++ix) {
            const typename Ops::T* p = in + (iy * W + ix) * C + ch;
            for (int b = 0; b < B; ++b) m[b] = Ops::max(m[b], Ops::load(p + b * L));
        }
    for (int b = 0; b < B; ++b) Ops::store(o + ch + b * L, m[b]);
}

// One output row: channels in blocks of 4 vectors, then 1, then a partial
// vector. With Plain, its windows read no NaN and no -0.
template <class Ops, bool Plain>
static void maxpool_row(const typename Ops::T* in, typename Ops::T* o, int64_t W, int64_t C, int64_t ow,
                        const PoolSpan& ys, int32_t kw, int32_t stride_w, int32_t pad_w) {
    using V = typename Ops::V;
    constexpr int64_t L = Ops::L;
    for (int64_t ox = 0; ox < ow; ++ox, o += C) {
        const PoolSpan xs = pool_span(ox, kw, stride_w, pad_w, W);
        int64_t ch = 0;
        for (; ch + 4 * L <= C; ch += 4 * L) maxpool_window<Ops, 4, Plain>(in, o, W, C, ch, ys, xs);
        for (; ch + L <= C; ch += L) maxpool_window<Ops, 1, Plain>(in, o, W, C, ch, ys, xs);
        if (ch < C) {
            const int n = int(C - ch);
            V m = Ops::lowest();
            for (int64_t iy = ys.begin; iy < ys.end; ++iy)
                for (int64_t ix = xs.begin; ix < xs.end; ++ix) {
                    const V x = Ops::load_n(in + (iy * W + ix) * C + ch, n);
                    if constexpr (Plain) m = Ops::plain_max(m, x);
                    else m = Ops::max(m, x);
                }
            Ops::store_n(o + ch, m, n);
        }
    }
}

// The output extents oh x ow are the caller's: windows past the input are
// clipped like those in the padding.
template <class Ops>
static void maxpool_loops(const typename Ops::T* in, typename Ops::T* out, int32_t c, int32_t h,
                          int32_t w, int64_t oh, int64_t ow, int32_t kh, int32_t kw, int32_t stride_h,
                          int32_t stride_w, int32_t pad_h, int32_t pad_w) {
    if (c < 1 || h < 0 || w < 0) return;
    const int64_t C = c, W = w;
    [[maybe_unused]] int64_t checked = 0, last_unclean = -1;  // rows [0, checked) checked; the last that failed
    for (int64_t oy = 0; oy < oh; ++oy) {
        const PoolSpan ys = pool_span(oy, kh, stride_h, pad_h, h);
        typename Ops::T* o = out + oy * ow * C;
        if constexpr (HasPlainMax<Ops>::value) {
            if (checked < ys.begin) checked = ys.begin;  // rows between windows are never read
            for (; checked < ys.end; ++checked)
                if (Ops::nan_or_neg_zero(in + checked * W * C, W * C)) last_unclean = checked;
            if (last_unclean < ys.begin) {
                maxpool_row<Ops, true>(in, o, W, C, ow, ys, kw, stride_w, pad_w);
                continue;
            }
        }
        maxpool_row<Ops, false>(in, o, W, C, ow, ys, kw, stride_w, pad_w);
    }
}

// Defines the kernel `name` of maxpool.h on Ops.
#define VANTREL_MAXPOOL_KERNEL(name, Ops)                                                         \
    void name(const Ops::T* in, Ops::T* out, int32_t c, int32_t h, int32_t w, int32_t kh,          \
              int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w,        \
              void* /*stream*/) {                                                                 \
        maxpool_loops<Ops>(in, out, c, h, w, pool_out_extent(h, kh, stride_h, pad_h),             \
                           pool_out_extent(w, kw, stride_w, pad_w), kh, kw, stride_h, stride_w,    \
                           pad_h, pad_w);                                                         \
    }

// Defines the kernel `name` of maxpool.h that takes its output extents
// (ceil mode) on Ops.
#define VANTREL_MAXPOOL_CEIL_KERNEL(name, Ops)                                                    \
    void name(const Ops::T* in, Ops::T* out, int32_t c, int32_t h, int32_t w, int32_t oh,          \
              int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,              \
              int32_t pad_h, int32_t pad_w, void* /*stream*/) {                                   \
        if (oh < 1 || ow < 1) return;                                                             \
        maxpool_loops<Ops>(in, out, c, h, w, oh, ow, kh, kw, stride_h, stride_w, pad_h, pad_w);    \
    }

}  // namespace vantrel
