// Layer and RMS normalisation rows on a lane struct Ln (lanes_f32_*.h): the
// sums by lane4_sums on Ln4 (norm_rows.h), four rows at a time, then each
// row's outputs in whole registers and one partial register for the rest.
// Every lane does the portable kernel's operations.
#pragma once
#include <math.h>

#include <cstdint>

#include "kernels/norm/norm_rows.h"

namespace vantrel {
namespace {

// fn(j, load, store) for j = 0, L, 2L, ... below n; the last call's load and
// store touch only the n - j elements left.
template <class Ln, class Fn>
inline void norm_lanes_over(int64_t n, Fn&& fn) {
    using V = typename Ln::V;
    int64_t j = 0;
    for (; j + Ln::L <= n; j += Ln::L)
        fn(j, [](const float* p) { return Ln::load(p); }, [](float* p, V v) { Ln::store(p, v); });
    if (j < n) {
        const int k = int(n - j);
        fn(j, [k](const float* p) { return Ln::load_n(p, k); }, [k](float* p, V v) { Ln::store_n(p, v, k); });
    }
}

// Rows of R at a time over the balanced split, then single rows.
template <class RowsFn4, class RowsFn1>
inline void norm_rows_by4(int32_t rows, RowsFn4&& rows4, RowsFn1&& rows1) {
    norm_for_rows(rows, [&](int64_t r0, int64_t r1) {
        int64_t r = r0;
        for (; r + 4 <= r1; r += 4) rows4(r);
        for (; r < r1; ++r) rows1(r);
    });
}

template <class Ln4, class Ln, int R>
void layer_norm_rows_lanes(const float* in, const float* gamma, const float* beta, float* out,
                           int64_t r, int64_t n, float inv_c, float eps) {
    using V = typename Ln::V;
    float mean[R], sq[R];
    lane4_mean_sq<Ln4, R>(in, r, n, inv_c, mean, sq);
    for (int i = 0; i < R; ++i) {
        const float rstd = 1.0f / sqrtf(fmaf(sq[i], inv_c, eps));
        const float* x = in + (r + i) * n;
        float* y = out + (r + i) * n;
        const V vm = Ln::set1(mean[i]), vr = Ln::set1(rstd);
        norm_lanes_over<Ln>(n, [&](int64_t j, auto load, auto store) {
            const V g = gamma ? load(gamma + j) : Ln::set1(1.0f);
            const V b = beta ? load(beta + j) : Ln::zero();
            store(y + j, Ln::fmadd(Ln::mul(vr, g), Ln::sub(load(x + j), vm), b));
        });
    }
}

template <class Ln4, class Ln>
void layer_norm_lanes(const float* in, const float* gamma, const float* beta, float* out,
                      int32_t rows, int32_t c, float eps) {
    if (rows <= 0 || c <= 0) return;
    const int64_t n = c;
    const float inv_c = 1.0f / float(c);
    norm_rows_by4(
        rows, [&](int64_t r) { layer_norm_rows_lanes<Ln4, Ln, 4>(in, gamma, beta, out, r, n, inv_c, eps); },
        [&](int64_t r) { layer_norm_rows_lanes<Ln4, Ln, 1>(in, gamma, beta, out, r, n, inv_c, eps); });
}

template <class Ln4, class Ln, int R>
void rms_norm_rows_lanes(const float* in, const float* gamma, float* out, int64_t r, int64_t n,
                         float inv_c, float eps) {
    using V = typename Ln::V;
    const float* x[R];
    const float zero[R] = {};
    float sq[R];
    for (int i = 0; i < R; ++i) x[i] = in + (r + i) * n;
    lane4_sums<Ln4, R, true>(x, n, zero, sq);
    for (int i = 0; i < R; ++i) {
        // A multiply and an add: this scale is not fused.
        const float rs = 1.0f / sqrtf(sq[i] * inv_c + eps);
        float* y = out + (r + i) * n;
        const V vr = Ln::set1(rs);
        norm_lanes_over<Ln>(n, [&](int64_t j, auto load, auto store) {
            const V g = gamma ? load(gamma + j) : Ln::set1(1.0f);
            store(y + j, Ln::mul(Ln::mul(load(x[i] + j), g), vr));
        });
    }
}

template <class Ln4, class Ln>
void rms_norm_lanes(const float* in, const float* gamma, float* out, int32_t rows, int32_t c, float eps) {
    if (rows <= 0 || c <= 0) return;
    const int64_t n = c;
    const float inv_c = 1.0f / float(c);
    norm_rows_by4(
        rows, [&](int64_t r) { rms_norm_rows_lanes<Ln4, Ln, 4>(in, gamma, out, r, n, inv_c, eps); },
        [&](int64_t r) { rms_norm_rows_lanes<Ln4, Ln, 1>(in, gamma, out, r, n, inv_c, eps); });
}

}  // namespace
}  // namespace vantrel
