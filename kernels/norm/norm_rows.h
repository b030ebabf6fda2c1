// Row driver and summation order shared by the layer and RMS normalisation
// kernels.
//
// Rows are split over the thread team with the balanced static split (one
// thread when already inside a parallel region). Each row's sums use a fixed
// order that every kernel path reproduces: four lanes accumulate elements
// j, j+4, j+8, ... separately, the lanes are added pairwise
// ((l0 + l1) + (l2 + l3)), and the last c mod 4 elements are added one by
// one. Squares are a multiply then an add, never fused.
//
// Everything sits in an unnamed namespace: files built with different
// instruction sets include this header, and each must keep its own copy.
#pragma once
#include <cstdint>

#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {
namespace {

// fn(begin, end) over [0, rows), split by the balanced static rule.
template <class RowFn>
void norm_for_rows(int64_t rows, RowFn&& fn) {
    if (rows <= 0) return;
    const int team = strip_team();
    if (rows < 2 || team <= 1) {
        fn(int64_t{0}, rows);
        return;
    }
    run_shares(rows, team, fn);
}

// fn(x, y, n, inv_c) for each row x of in [rows][c] and its output row y,
// over the norm_for_rows split; inv_c = 1 / c. Nothing for an empty input.
template <class RowFn>
void norm_each_row(const float* in, float* out, int32_t rows, int32_t c, RowFn&& fn) {
    if (rows <= 0 || c <= 0) return;
    const int64_t n = c;
    const float inv_c = 1.0f / float(c);
    norm_for_rows(rows, [&](int64_t r0, int64_t r1) {
        for (int64_t r = r0; r < r1; ++r) fn(in + r * n, out + r * n, n, inv_c);
    });
}

inline float lane4_sum(const float* x, int64_t c) {
    float l[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int64_t j = 0;
    for (; j + 4 <= c; j += 4)
        for (int k = 0; k < 4; ++k) l[k] = l[k] + x[j + k];
    float s = (l[0] + l[1]) + (l[2] + l[3]);
    for (; j < c; ++j) s = s + x[j];
    return s;
}

// Σ (x[j] - centre)²; centre 0 gives Σ x[j]².
inline float lane4_sum_sq(const float* x, int64_t c, float centre) {
    float l[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int64_t j = 0;
    for (; j + 4 <= c; j += 4)
        for (int k = 0; k < 4; ++k) {
            const float d = x[j + k] - centre;
            l[k] = l[k] + d * d;
        }
    float s = (l[0] + l[1]) + (l[2] + l[3]);
    for (; j < c; ++j) {
        const float d = x[j] - centre;
        s = s + d * d;
    }
    return s;
}

// lane4_sum / lane4_sum_sq for R rows side by side, so their dependency
// chains overlap. Ln4 holds one row's four lanes in a register: zero, set1,
// load, add, sub, mul, and pairwise(v) = (l0 + l1) + (l2 + l3).
// out[r] = Σ (x[r][j] - centre[r])² when squares, else Σ x[r][j].
template <class Ln4, int R, bool kSquares>
inline void lane4_sums(const float* const* x, int64_t c, const float* centre, float* out) {
    static_assert(Ln4::L == 4, "one register per row");
    typename Ln4::V acc[R], m[R];
    for (int r = 0; r < R; ++r) {
        acc[r] = Ln4::zero();
        m[r] = Ln4::set1(kSquares ? centre[r] : 0.0f);
    }
    int64_t j = 0;
    for (; j + 4 <= c; j += 4)
        for (int r = 0; r < R; ++r) {
            typename Ln4::V v = Ln4::load(x[r] + j);
            if (kSquares) {
                v = Ln4::sub(v, m[r]);
                v = Ln4::mul(v, v);
            }
            acc[r] = Ln4::add(acc[r], v);
        }
    for (int r = 0; r < R; ++r) {
        float s = Ln4::pairwise(acc[r]);
        for (int64_t t = j; t < c; ++t) {
            float d = x[r][t];
            if (kSquares) {
                d = d - centre[r];
                d = d * d;
            }
            s = s + d;
        }
        out[r] = s;
    }
}

// Means and centred square sums of rows r .. r+R-1 of x [.][c].
template <class Ln4, int R>
inline void lane4_mean_sq(const float* x, int64_t r, int64_t c, float inv_c, float* mean, float* sq) {
    const float* rows[R];
    for (int i = 0; i < R; ++i) rows[i] = x + (r + i) * c;
    lane4_sums<Ln4, R, false>(rows, c, nullptr, mean);
    for (int i = 0; i < R; ++i) mean[i] = mean[i] * inv_c;
    lane4_sums<Ln4, R, true>(rows, c, mean, sq);
}

}  // namespace
}  // namespace vantrel
