// The kernels of activation_ungrouped.h on a lane struct Ln: the lanes_f32
// operations (set1, load, load_n, store, store_n, add, sub, mul, fmadd,
// fnmadd) plus
//   div(a, b), abs(v)
//   floor_at(v, c)     c where c > v, else v (a NaN v passes, -0 stays -0)
//   ceil_at(v, c)      c where c < v, else v
//   if_negative(x, a, b)  a where x < 0, else b
//   vexp(v)            vmath's exponential
// Each of them rounds (or selects) exactly like the one-lane struct of the
// portable file, so one formula serves every path: whole registers, then
// the remainder as one partial register.
//
// Unnamed namespace: each instruction-set file keeps its own copy.
#pragma once
#include <cstdint>

#include "kernels/elementwise/activation_ungrouped.h"
#include "kernels/simd/vmath_lanes.h"

namespace vantrel {
namespace {

template <class Ln>
struct UngroupedActivation {
    using V = typename Ln::V;

    template <class Fn>
    static void run(const float* x, float* y, int32_t n, Fn fn) {
        int64_t i = 0;
        for (; i + Ln::L <= n; i += Ln::L) Ln::store(y + i, fn(Ln::load(x + i)));
        if (i < n) {
            const int k = int(n - i);
            Ln::store_n(y + i, fn(Ln::load_n(x + i, k)), k);
        }
    }

    // min(max(v, lo), hi) with NaN passing through.
    static V clamp(V v, V lo, V hi) { return Ln::ceil_at(Ln::floor_at(v, lo), hi); }
    static V relu6_shifted(V v) { return clamp(Ln::add(v, Ln::set1(3.0f)), Ln::set1(0.0f), Ln::set1(6.0f)); }

    static void clamp_kernel(const float* x, float* y, int32_t n, float lo, float hi) {
        const V l = Ln::set1(lo), h = Ln::set1(hi);
        run(x, y, n, [l, h](V v) { return clamp(v, l, h); });
    }
    // (x * relu6(x + 3)) / 6, rounded in this order as PyTorch's does.
    static void hard_swish(const float* x, float* y, int32_t n) {
        run(x, y, n, [](V v) { return Ln::div(Ln::mul(v, relu6_shifted(v)), Ln::set1(6.0f)); });
    }
    static void hard_sigmoid(const float* x, float* y, int32_t n) {
        run(x, y, n, [](V v) { return Ln::div(relu6_shifted(v), Ln::set1(6.0f)); });
    }
    static V gelu_erf_one(V v) {
        const V a = Ln::mul(Ln::abs(v), Ln::set1(act::kRsqrt2));
        const V t = Ln::div(Ln::set1(1.0f), Ln::fmadd(a, Ln::set1(0.5f), Ln::set1(1.0f)));
        V p = Ln::set1(act::kErfcP[9]);
        for (int j = 8; j >= 0; --j) p = Ln::fmadd(p, t, Ln::set1(act::kErfcP[j]));
        const V e = Ln::vexp(Ln::fnmadd(v, Ln::mul(v, Ln::set1(0.5f)), p));  // P(t) - x*x/2
        const V lower = Ln::mul(Ln::mul(Ln::set1(0.5f), t), e);              // Phi(-|x|)
        return Ln::mul(v, Ln::if_negative(v, lower, Ln::sub(Ln::set1(1.0f), lower)));
    }
    // gelu_erf_one on N registers in place, step by step over all N (the
    // same bits; the N chains overlap, see vexp_lanes_n).
    template <int N>
    static void gelu_erf_n(V* v) {
        V t[N], p[N], e[N];
        for (int i = 0; i < N; ++i) {
            const V a = Ln::mul(Ln::abs(v[i]), Ln::set1(act::kRsqrt2));
            t[i] = Ln::div(Ln::set1(1.0f), Ln::fmadd(a, Ln::set1(0.5f), Ln::set1(1.0f)));
        }
        for (int i = 0; i < N; ++i) p[i] = Ln::set1(act::kErfcP[9]);
        for (int j = 8; j >= 0; --j)
            for (int i = 0; i < N; ++i) p[i] = Ln::fmadd(p[i], t[i], Ln::set1(act::kErfcP[j]));
        for (int i = 0; i < N; ++i) e[i] = Ln::fnmadd(v[i], Ln::mul(v[i], Ln::set1(0.5f)), p[i]);
        vmath::vexp_lanes_n<Ln, N>(e);
        for (int i = 0; i < N; ++i) {
            const V lower = Ln::mul(Ln::mul(Ln::set1(0.5f), t[i]), e[i]);
            v[i] = Ln::mul(v[i], Ln::if_negative(v[i], lower, Ln::sub(Ln::set1(1.0f), lower)));
        }
    }
    static void gelu_erf(const float* x, float* y, int32_t n) {
        run(x, y, n, [](V v) { return gelu_erf_one(v); });
    }
};

}  // namespace

// Defines the kernels k_<op>_f32<suffix> of activation_ungrouped.h on Ln
// (suffix empty for the portable ones, else _avx2, _avx512, _neon).
#define VANTREL_UNGROUPED_ACTIVATION_KERNELS(suffix, Ln)                                                  \
    void k_clamp_f32##suffix(const float* x, float* y, int32_t n, void*, float lo, float hi) {          \
        UngroupedActivation<Ln>::clamp_kernel(x, y, n, lo, hi);                                          \
    }                                                                                                    \
    void k_hard_swish_f32##suffix(const float* x, float* y, int32_t n, void*) {                         \
        UngroupedActivation<Ln>::hard_swish(x, y, n);                                                    \
    }                                                                                                    \
    void k_hard_sigmoid_f32##suffix(const float* x, float* y, int32_t n, void*) {                       \
        UngroupedActivation<Ln>::hard_sigmoid(x, y, n);                                                  \
    }                                                                                                    \
    void k_gelu_erf_f32##suffix(const float* x, float* y, int32_t n, void*) {                           \
        UngroupedActivation<Ln>::gelu_erf(x, y, n);                                                      \
    }

}  // namespace vantrel
