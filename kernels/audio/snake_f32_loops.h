// Row driver of the Snake kernels: per-channel alpha and 1/alpha with the
// null defaults filled in, then rows over the balanced static split (one
// thread inside a parallel region). The vector paths run the row on a vmath
// lane struct (vmath_*.h): whole registers, then the one-lane form.
// Unnamed namespace: each instruction-set file keeps its own copy.
#pragma once
#include <cstdint>
#include <vector>

#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"
#include "kernels/simd/vmath_lanes.h"

namespace vantrel {
namespace {

inline void snake_tail(const float* x, float* y, const float* a, const float* ia, int64_t j, int64_t c) {
    for (; j < c; ++j) {
        const float s = vmath::vsin(a[j] * x[j]);
        y[j] = x[j] + ia[j] * (s * s);
    }
}

// Rows below this many elements in total stay on the calling thread.
constexpr int64_t kSnakeParallelElements = 16384;

template <class Row>
void snake_run(const float* x, float* out, const float* alpha, const float* inv_alpha, int32_t t_,
               int32_t c_, Row row) {
    if (t_ <= 0 || c_ <= 0) return;
    const int64_t t = t_, c = c_;
    std::vector<float> a(size_t(c), 1.0f), ia(size_t(c), 1.0f);
    // alpha * x with alpha = 1 is x itself, so a null alpha matches z = x.
    if (alpha)
        for (int64_t j = 0; j < c; ++j) a[size_t(j)] = alpha[j];
    if (inv_alpha)
        for (int64_t j = 0; j < c; ++j) ia[size_t(j)] = inv_alpha[j];
    auto rows = [&](int64_t r0, int64_t r1) {
        for (int64_t r = r0; r < r1; ++r) row(x + r * c, out + r * c, a.data(), ia.data(), c);
    };
    const int team = t < 2 || t * c < kSnakeParallelElements ? 1 : strip_team();
    run_shares(t, team, rows);
}

template <class Vm>
void snake_row_lanes(const float* r, float* y, const float* a, const float* ia, int64_t n) {
    using V = typename Vm::V;
    int64_t j = 0;
    for (; j + Vm::L <= n; j += Vm::L) {
        const V v = Vm::load(r + j);
        const V s = vmath::vsin_lanes<Vm>(Vm::mul(Vm::load(a + j), v));
        Vm::store(y + j, Vm::add(v, Vm::mul(Vm::load(ia + j), Vm::mul(s, s))));
    }
    snake_tail(r, y, a, ia, j, n);
}

}  // namespace

// Defines the Snake kernel `name` of snake_f32.h on the vmath lane struct Vm.
#define VANTREL_SNAKE_KERNEL(name, Vm)                                                          \
    void name(const float* x, float* out, const float* alpha, const float* inv_alpha, int32_t t, \
              int32_t c, void* /*stream*/) {                                                    \
        snake_run(x, out, alpha, inv_alpha, t, c, &snake_row_lanes<Vm>);                        \
    }

}  // namespace vantrel
