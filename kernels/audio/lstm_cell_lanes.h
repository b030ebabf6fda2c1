// One unit of the LSTM step as a group lane and as a tail unit computes it
// (lstm_f32.h), and the vector step on a vmath lane struct (vmath_*.h).
// static / unnamed namespace: the header is included by files built for
// different instruction sets (see vmath.h).
#pragma once
#include <math.h>

#include <cstdint>

#include "kernels/simd/vmath_lanes.h"

namespace vantrel {
namespace lstm_lane {

static inline float sig_group(float x) { return vmath::recip(1.0f + vmath::vexp(-x)); }
static inline float tanh_group(float x) { return 2.0f * vmath::recip(1.0f + vmath::vexp(-2.0f * x)) - 1.0f; }
static inline float sig_tail(float x) { return 1.0f / (1.0f + ::expf(-x)); }

// Units [j0, j1) in group form.
static inline void group_units(float* z, const float* g, float* c, float* hs, int64_t h, int64_t j0,
                               int64_t j1) {
    for (int64_t j = j0; j < j1; ++j) {
        const float zi = z[j] + g[j], zf = z[h + j] + g[h + j];
        const float zg = z[2 * h + j] + g[2 * h + j], zo = z[3 * h + j] + g[3 * h + j];
        z[j] = zi, z[h + j] = zf, z[2 * h + j] = zg, z[3 * h + j] = zo;
        const float i = sig_group(zi), f = sig_group(zf), gg = tanh_group(zg), o = sig_group(zo);
        const float cn = f * c[j] + i * gg;
        c[j] = cn;
        hs[j] = o * tanh_group(cn);
    }
}

// Units [j0, h) with the math library.
static inline void tail_units(float* z, const float* g, float* c, float* hs, int64_t h, int64_t j0) {
    for (int64_t j = j0; j < h; ++j) {
        const float zi = z[j] + g[j], zf = z[h + j] + g[h + j];
        const float zg = z[2 * h + j] + g[2 * h + j], zo = z[3 * h + j] + g[3 * h + j];
        z[j] = zi, z[h + j] = zf, z[2 * h + j] = zg, z[3 * h + j] = zo;
        const float i = sig_tail(zi), f = sig_tail(zf), gg = ::tanhf(zg), o = sig_tail(zo);
        const float cn = f * c[j] + i * gg;
        c[j] = cn;
        hs[j] = o * ::tanhf(cn);
    }
}

}  // namespace lstm_lane

namespace {

// The cell on Vm: whole registers of group units, the groups left over as
// one partial register, then the tail units.
template <class Vm>
void lstm_cell_lanes(float* z, const float* g, float* c, float* hs, int32_t h) {
    using V = typename Vm::V;
    if (h <= 0) return;
    const int64_t H = h, groups_end = H / 4 * 4;
    const V one = Vm::set1(1.0f);
    auto sig = [&](V x) { return vmath::recip_lanes<Vm>(Vm::add(one, vmath::vexp_lanes<Vm>(Vm::neg(x)))); };
    auto tanh = [&](V x) {
        const V e = vmath::vexp_lanes<Vm>(Vm::mul(Vm::set1(-2.0f), x));
        const V r = vmath::recip_lanes<Vm>(Vm::add(one, e));
        return Vm::sub(Vm::mul(Vm::set1(2.0f), r), one);
    };
    for (int64_t j = 0; j < groups_end; j += Vm::L) {
        const int n = groups_end - j < Vm::L ? int(groups_end - j) : Vm::L;
        auto load = [n](const float* p) { return n == Vm::L ? Vm::load(p) : Vm::load_n(p, n); };
        auto store = [n](float* p, V v) { n == Vm::L ? Vm::store(p, v) : Vm::store_n(p, v, n); };
        auto gate_in = [&](int64_t at) {
            const V v = Vm::add(load(z + at), load(g + at));
            store(z + at, v);
            return v;
        };
        const V i = sig(gate_in(j)), f = sig(gate_in(H + j));
        const V gg = tanh(gate_in(2 * H + j)), o = sig(gate_in(3 * H + j));
        const V cn = Vm::add(Vm::mul(f, load(c + j)), Vm::mul(i, gg));
        store(c + j, cn);
        store(hs + j, Vm::mul(o, tanh(cn)));
    }
    lstm_lane::tail_units(z, g, c, hs, H, groups_end);
}

}  // namespace
}  // namespace vantrel
