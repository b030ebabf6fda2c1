// One unit of the LSTM step as a group lane and as a tail unit computes it
// (lstm_f32.h). static: the header is included by files built for different
// instruction sets (see vmath.h).
#pragma once
#include <math.h>

#include <cstdint>

#include "kernels/simd/vmath.h"

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
}  // namespace vantrel
