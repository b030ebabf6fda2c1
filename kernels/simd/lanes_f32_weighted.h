// o[c] = start[c] + Σ_j w[j] * rows[j*stride + c] for c < d on a lane
// struct Ln (lanes_f32_*.h): start is o[c] * a when kScaled, else 0, and each
// element's chain runs in ascending j with one fused multiply-add per term.
// Blocks of eight, then four registers of columns stay in registers across
// all j, then single registers, then scalar columns. Shared by the attention kernels.
//
// Unnamed namespace: each instruction-set file keeps its own copy.
#pragma once
#include <math.h>

#include <cstdint>

namespace vantrel {
namespace {

template <class Ln, bool kScaled>
void lanes_weighted_columns(float* o, float a, const float* w, const float* rows, int64_t stride,
                            int64_t n, int64_t d) {
    using V = typename Ln::V;
    constexpr int64_t L = Ln::L;
    const V va = Ln::set1(a);
    auto start = [&](int64_t c) { return kScaled ? Ln::mul(Ln::load(o + c), va) : Ln::zero(); };
    int64_t c = 0;
    // Eight registers per pass over the rows where d allows: twice the
    // independent chains of four, and each row read once for 8L columns.
    for (; c + 8 * L <= d; c += 8 * L) {
        V acc[8];
        for (int e = 0; e < 8; ++e) acc[e] = start(c + e * L);
        for (int64_t j = 0; j < n; ++j) {
            const float* r = rows + j * stride + c;
            const V wj = Ln::set1(w[j]);
            for (int e = 0; e < 8; ++e) acc[e] = Ln::fmadd(wj, Ln::load(r + e * L), acc[e]);
        }
        for (int e = 0; e < 8; ++e) Ln::store(o + c + e * L, acc[e]);
    }
    for (; c + 4 * L <= d; c += 4 * L) {
        V a0 = start(c), a1 = start(c + L), a2 = start(c + 2 * L), a3 = start(c + 3 * L);
        for (int64_t j = 0; j < n; ++j) {
            const float* r = rows + j * stride + c;
            const V wj = Ln::set1(w[j]);
            a0 = Ln::fmadd(wj, Ln::load(r), a0);
            a1 = Ln::fmadd(wj, Ln::load(r + L), a1);
            a2 = Ln::fmadd(wj, Ln::load(r + 2 * L), a2);
            a3 = Ln::fmadd(wj, Ln::load(r + 3 * L), a3);
        }
        Ln::store(o + c, a0);
        Ln::store(o + c + L, a1);
        Ln::store(o + c + 2 * L, a2);
        Ln::store(o + c + 3 * L, a3);
    }
    for (; c + L <= d; c += L) {
        V a0 = start(c);
        for (int64_t j = 0; j < n; ++j) a0 = Ln::fmadd(Ln::set1(w[j]), Ln::load(rows + j * stride + c), a0);
        Ln::store(o + c, a0);
    }
    for (; c < d; ++c) {
        float x = kScaled ? o[c] * a : 0.0f;
        for (int64_t j = 0; j < n; ++j) x = ::fmaf(w[j], rows[j * stride + c], x);
        o[c] = x;
    }
}

}  // namespace
}  // namespace vantrel
