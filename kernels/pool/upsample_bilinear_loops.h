// Pixel loops shared by every bilinear-upsampling path; each path supplies
// the vector operations over channels. Ops: V with L lanes, set1(x),
// load(p), load_n(p, n), store(p, v), store_n(p, v, n), add(a, b), mul(a, b).
// Static template: each instruction-set file keeps its own copy.
#pragma once
#include <cstdint>

#include "kernels/pool/upsample_bilinear.h"

namespace vantrel {

template <class Ops>
static void upsample_bilinear_loops(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                                    int32_t oh, int32_t ow) {
    using V = typename Ops::V;
    constexpr int64_t L = Ops::L;
    if (c < 1 || h < 1 || w < 1 || oh < 1 || ow < 1) return;
    const int64_t C = c, W = w;
    const float sy_scale = (1.0f / float(oh)) * float(h);
    const float sx_scale = (1.0f / float(ow)) * float(w);
    for (int64_t oy = 0; oy < oh; ++oy) {
        const BilinearTap ty = bilinear_tap(sy_scale, oy, h);
        const float* row0 = in + ty.i0 * W * C;
        const float* row1 = in + ty.i1 * W * C;
        for (int64_t ox = 0; ox < ow; ++ox) {
            const BilinearTap tx = bilinear_tap(sx_scale, ox, w);
            const float* p00 = row0 + tx.i0 * C;
            const float* p01 = row0 + tx.i1 * C;
            const float* p10 = row1 + tx.i0 * C;
            const float* p11 = row1 + tx.i1 * C;
            const V w00 = Ops::set1(ty.w0 * tx.w0), w01 = Ops::set1(ty.w0 * tx.f);
            const V w10 = Ops::set1(ty.f * tx.w0), w11 = Ops::set1(ty.f * tx.f);
            float* o = out + (oy * ow + ox) * C;
            int64_t ch = 0;
            for (; ch + L <= C; ch += L) {
                V s = Ops::add(Ops::mul(Ops::load(p00 + ch), w00), Ops::mul(Ops::load(p01 + ch), w01));
                s = Ops::add(s, Ops::mul(Ops::load(p10 + ch), w10));
                s = Ops::add(s, Ops::mul(Ops::load(p11 + ch), w11));
                Ops::store(o + ch, s);
            }
            if (ch < C) {
                const int n = int(C - ch);
                V s = Ops::add(Ops::mul(Ops::load_n(p00 + ch, n), w00),
                               Ops::mul(Ops::load_n(p01 + ch, n), w01));
                s = Ops::add(s, Ops::mul(Ops::load_n(p10 + ch, n), w10));
                s = Ops::add(s, Ops::mul(Ops::load_n(p11 + ch, n), w11));
                Ops::store_n(o + ch, s, n);
            }
        }
    }
}

}  // namespace vantrel
