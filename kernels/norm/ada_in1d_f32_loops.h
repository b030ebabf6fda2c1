// Driver of the adaptive instance normalisation kernels (ada_in1d_f32.h).
// Each path supplies three row operations over the C channels of one row:
//   add(acc, x, c)                     acc[j] = acc[j] + x[j]
//   add_sq(acc, x, mean, c)            d = x[j] - mean[j]; acc[j] = acc[j] + d*d
//   apply(x, y, mean, rstd, gm, beta, norm_w, norm_b, c)
// where gm is gamma + 1 without the norm affine (norm_w null) and gamma with
// it (see ada_in1d_f32.h for the two output forms). ada_in1d_lanes<Ln> runs
// them on a lane struct (lanes_f32_*.h) across channels, each lane doing the
// portable operations, and the scalar forms for the channels left over.
//
// Unnamed namespace: files built with different instruction sets include
// this header, and each must keep its own copy.
#pragma once
#include <math.h>

#include <cstdint>
#include <vector>

#include "kernels/norm/ada_in1d_f32.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {
namespace {

// Scalar forms of the row operations; the vector paths use them for the
// channels after their last whole register.
inline void ada_add_tail(float* acc, const float* x, int64_t j, int64_t c) {
    for (; j < c; ++j) acc[j] = acc[j] + x[j];
}
inline void ada_add_sq_tail(float* acc, const float* x, const float* mean, int64_t j, int64_t c) {
    for (; j < c; ++j) {
        const float d = x[j] - mean[j];
        acc[j] = acc[j] + d * d;
    }
}
inline void ada_apply_tail(const float* x, float* y, const float* mean, const float* rstd,
                           const float* gm, const float* beta, const float* nw, const float* nb,
                           int64_t j, int64_t c) {
    if (!nw) {
        for (; j < c; ++j) y[j] = beta[j] + ((x[j] - mean[j]) * gm[j]) * rstd[j];
        return;
    }
    for (; j < c; ++j) {
        const float xh = nb[j] + (nw[j] * (x[j] - mean[j])) * rstd[j];
        y[j] = (beta[j] + xh) + gm[j] * xh;
    }
}

template <class Add, class AddSq, class Apply>
void ada_in1d_run(const float* x, float* out, const float* gamma, const float* beta, int32_t t_,
                  int32_t c_, const float* norm_w, float eps, const float* norm_b, Add add,
                  AddSq add_sq, Apply apply) {
    if (t_ <= 0 || c_ <= 0) return;
    const int64_t t = t_, c = c_;
    const int64_t blocks = (t + kAdaIn1dStatRows - 1) / kAdaIn1dStatRows;
    // Per-call buffers: block partial sums, then the per-channel vectors.
    std::vector<float> part(size_t(blocks * c), 0.0f);
    const size_t cn = size_t(c);
    std::vector<float> mean(cn), rstd(cn), gm(cn), b0(cn), nb0;
    for (int64_t j = 0; j < c; ++j) {
        const float g = gamma ? gamma[j] : 0.0f;
        gm[size_t(j)] = norm_w ? g : g + 1.0f;
        b0[size_t(j)] = beta ? beta[j] : 0.0f;
    }
    // A missing norm bias reads as zeros.
    if (norm_w) {
        nb0.assign(size_t(c), 0.0f);
        if (norm_b)
            for (int64_t j = 0; j < c; ++j) nb0[size_t(j)] = norm_b[j];
    }
    const float inv_t = 1.0f / float(t);
    const float* nbp = norm_w ? nb0.data() : nullptr;

    auto block_sums = [&](int64_t b0_, int64_t b1_, bool squares) {
        for (int64_t b = b0_; b < b1_; ++b) {
            float* acc = part.data() + b * c;
            for (int64_t j = 0; j < c; ++j) acc[j] = 0.0f;
            const int64_t r1 = (b + 1) * kAdaIn1dStatRows < t ? (b + 1) * kAdaIn1dStatRows : t;
            for (int64_t r = b * kAdaIn1dStatRows; r < r1; ++r) {
                if (squares) add_sq(acc, x + r * c, mean.data(), c);
                else add(acc, x + r * c, c);
            }
        }
    };
    auto reduce = [&](int64_t j0, int64_t j1, bool squares) {
        for (int64_t j = j0; j < j1; ++j) {
            float s = part[size_t(j)];
            for (int64_t b = 1; b < blocks; ++b) s = s + part[size_t(b * c + j)];
            if (!squares) mean[size_t(j)] = s * inv_t;
            else rstd[size_t(j)] = 1.0f / sqrtf(eps + s * inv_t);
        }
    };
    auto rows = [&](int64_t r0, int64_t r1) {
        for (int64_t r = r0; r < r1; ++r)
            apply(x + r * c, out + r * c, mean.data(), rstd.data(), gm.data(), b0.data(), norm_w, nbp, c);
    };

    const int n = strip_team();
    auto shared = [&](int64_t count, auto&& fn) { run_shares(count, n, fn); };
    if (n > 1 && c * t >= 32768) {
        // Sums, then squares about the mean they give; each step needs the
        // whole of the one before.
        for (const bool squares : {false, true}) {
            shared(blocks, [&](int64_t b0_, int64_t b1_) { block_sums(b0_, b1_, squares); });
            shared(c, [&](int64_t j0, int64_t j1) { reduce(j0, j1, squares); });
        }
        shared(t, rows);
        return;
    }
    for (const bool squares : {false, true}) {
        block_sums(0, blocks, squares);
        reduce(0, c, squares);
    }
    if (n > 1 && t > 1) {
        shared(t, rows);
        return;
    }
    rows(0, t);
}

template <class Ln>
void ada_in1d_lanes(const float* x, float* out, const float* gamma, const float* beta, int32_t t,
                    int32_t c, const float* norm_w, float eps, const float* norm_b) {
    using V = typename Ln::V;
    constexpr int64_t W = Ln::L;
    ada_in1d_run(
        x, out, gamma, beta, t, c, norm_w, eps, norm_b,
        [](float* acc, const float* r, int64_t n) {
            int64_t j = 0;
            for (; j + W <= n; j += W) Ln::store(acc + j, Ln::add(Ln::load(acc + j), Ln::load(r + j)));
            ada_add_tail(acc, r, j, n);
        },
        [](float* acc, const float* r, const float* m, int64_t n) {
            int64_t j = 0;
            for (; j + W <= n; j += W) {
                const V d = Ln::sub(Ln::load(r + j), Ln::load(m + j));
                Ln::store(acc + j, Ln::add(Ln::load(acc + j), Ln::mul(d, d)));
            }
            ada_add_sq_tail(acc, r, m, j, n);
        },
        [](const float* r, float* y, const float* m, const float* rs, const float* gm, const float* b,
           const float* nw, const float* nb, int64_t n) {
            int64_t j = 0;
            if (!nw) {
                for (; j + W <= n; j += W) {
                    const V d = Ln::sub(Ln::load(r + j), Ln::load(m + j));
                    Ln::store(y + j, Ln::add(Ln::load(b + j), Ln::mul(Ln::mul(d, Ln::load(gm + j)), Ln::load(rs + j))));
                }
            } else {
                for (; j + W <= n; j += W) {
                    const V d = Ln::sub(Ln::load(r + j), Ln::load(m + j));
                    const V xh = Ln::add(Ln::load(nb + j), Ln::mul(Ln::mul(Ln::load(nw + j), d), Ln::load(rs + j)));
                    Ln::store(y + j, Ln::add(Ln::add(Ln::load(b + j), xh), Ln::mul(Ln::load(gm + j), xh)));
                }
            }
            ada_apply_tail(r, y, m, rs, gm, b, nw, nb, j, n);
        });
}

}  // namespace

// Defines the kernel `name` of ada_in1d_f32.h on the lane struct Ln.
#define VANTREL_ADA_IN1D_KERNEL(name, Ln)                                                         \
    void name(const float* x, float* out, const float* gamma, const float* beta, int32_t t,        \
              int32_t c, void* /*stream*/, const float* norm_w, float eps, const float* norm_b) { \
        ada_in1d_lanes<Ln>(x, out, gamma, beta, t, c, norm_w, eps, norm_b);                       \
    }

}  // namespace vantrel
