// Driver of the adaptive layer normalisation kernels: per-channel gamma + 1
// and beta once, then rows over the norm_rows.h split. Each path supplies
//   stats(x, r, n, mean, rstd)   for R rows at a time (R = 4 or 1)
//   apply(x, y, mean, rstd, g1, beta, n)  for one row.
// ada_layer_norm_lanes<Ln4, Ln> supplies both on lane structs: the sums by
// lane4_sums on Ln4 (norm_rows.h), the row on Ln (lanes_f32_*.h) with the
// scalar form for the channels after the last whole register.
// Unnamed namespace: each instruction-set file keeps its own copy.
#pragma once
#include <math.h>

#include <cstdint>
#include <vector>

#include "kernels/norm/norm_rows.h"

namespace vantrel {
namespace {

inline void ada_ln_apply_tail(const float* x, float* y, float mean, float rstd, const float* g1,
                              const float* beta, int64_t j, int64_t c) {
    for (; j < c; ++j) y[j] = beta[j] + ((x[j] - mean) * g1[j]) * rstd;
}

inline float ada_ln_rstd(float m2, float inv_c, float eps) { return 1.0f / sqrtf(eps + m2 * inv_c); }

template <class Stats4, class Stats1, class Apply>
void ada_layer_norm_run(const float* x, float* out, const float* gamma, const float* beta,
                        int32_t t, int32_t c_, float eps, Stats4 stats4, Stats1 stats1, Apply apply) {
    if (t <= 0 || c_ <= 0) return;
    const int64_t c = c_;
    const size_t cn = size_t(c);
    std::vector<float> g1(cn), b0(cn);
    for (int64_t j = 0; j < c; ++j) {
        g1[size_t(j)] = (gamma ? gamma[j] : 0.0f) + 1.0f;
        b0[size_t(j)] = beta ? beta[j] : 0.0f;
    }
    const float inv_c = 1.0f / float(c);
    norm_for_rows(t, [&](int64_t r0, int64_t r1) {
        float mean[4], rstd[4];
        int64_t r = r0;
        for (; r + 4 <= r1; r += 4) {
            stats4(x, r, c, inv_c, eps, mean, rstd);
            for (int i = 0; i < 4; ++i)
                apply(x + (r + i) * c, out + (r + i) * c, mean[i], rstd[i], g1.data(), b0.data(), c);
        }
        for (; r < r1; ++r) {
            stats1(x, r, c, inv_c, eps, mean, rstd);
            apply(x + r * c, out + r * c, mean[0], rstd[0], g1.data(), b0.data(), c);
        }
    });
}

template <class Ln4, int R>
void ada_ln_stats_lanes(const float* x, int64_t r, int64_t c, float inv_c, float eps, float* mean,
                        float* rstd) {
    float sq[R];
    lane4_mean_sq<Ln4, R>(x, r, c, inv_c, mean, sq);
    for (int i = 0; i < R; ++i) rstd[i] = ada_ln_rstd(sq[i], inv_c, eps);
}

template <class Ln4, class Ln>
void ada_layer_norm_lanes(const float* x, float* out, const float* gamma, const float* beta,
                          int32_t t, int32_t c, float eps) {
    using V = typename Ln::V;
    ada_layer_norm_run(x, out, gamma, beta, t, c, eps, &ada_ln_stats_lanes<Ln4, 4>, &ada_ln_stats_lanes<Ln4, 1>,
                       [](const float* r, float* y, float m, float rs, const float* g1, const float* b,
                          int64_t n) {
                           const V vm = Ln::set1(m), vr = Ln::set1(rs);
                           int64_t j = 0;
                           for (; j + Ln::L <= n; j += Ln::L) {
                               const V d = Ln::sub(Ln::load(r + j), vm);
                               Ln::store(y + j, Ln::add(Ln::load(b + j), Ln::mul(Ln::mul(d, Ln::load(g1 + j)), vr)));
                           }
                           ada_ln_apply_tail(r, y, m, rs, g1, b, j, n);
                       });
}

}  // namespace
}  // namespace vantrel
