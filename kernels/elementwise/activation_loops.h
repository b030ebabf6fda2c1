// The activation kernels of activation.h on a vmath lane struct Ln
// (vmath_*.h) that also has neg (sign flip) and leaky(v, a) (v where v >= 0,
// else a * v). Whole groups of 4 run a
// register at a time, the groups left over as one partial register, then the
// n mod 4 tail one element at a time.
//
// Unnamed namespace: each instruction-set file keeps its own copy.
#pragma once
#include <cstdint>

#include "kernels/elementwise/activation.h"
#include "kernels/simd/vmath_lanes.h"

namespace vantrel {
namespace {

template <class Ln>
struct ActivationLanes {
    using V = typename Ln::V;

    template <class Vec, class Tail>
    static void run_groups(const float* x, float* y, int32_t n, Vec vec, Tail tail) {
        const int64_t groups_end = n < 0 ? 0 : int64_t(n) / 4 * 4;
        int64_t i = 0;
        for (; i + Ln::L <= groups_end; i += Ln::L) Ln::store(y + i, vec(Ln::load(x + i)));
        if (i < groups_end) {
            // Lanes past the last group are neither read nor written.
            const int k = int(groups_end - i);
            Ln::store_n(y + i, vec(Ln::load_n(x + i, k)), k);
            i = groups_end;
        }
        for (; i < n; ++i) y[i] = tail(x[i]);
    }

    static V one() { return Ln::set1(1.0f); }
    static V vexp(V v) { return vmath::vexp_lanes<Ln>(v); }
    static V vrecip(V v) { return vmath::recip_lanes<Ln>(v); }

    static void leaky_relu(const float* x, float* y, int32_t n, float alpha) {
        const V a = Ln::set1(alpha);
        run_groups(x, y, n, [a](V v) { return Ln::leaky(v, a); }, [alpha](float v) { return act::leaky(v, alpha); });
    }
    static void exp(const float* x, float* y, int32_t n) {
        run_groups(x, y, n, [](V v) { return vexp(v); }, act::exp_tail);
    }
    static void sin(const float* x, float* y, int32_t n) {
        run_groups(x, y, n, [](V v) { return vmath::vsin_lanes<Ln>(v); }, act::sin_tail);
    }
    static void sigmoid(const float* x, float* y, int32_t n) {
        run_groups(x, y, n, [](V v) { return vrecip(Ln::add(one(), vexp(Ln::neg(v)))); }, act::sigmoid_tail);
    }
    static void tanh(const float* x, float* y, int32_t n) {
        auto vec = [](V v) {
            const V e = vexp(Ln::mul(Ln::set1(-2.0f), v));
            const V r = vrecip(Ln::add(one(), e));
            return Ln::sub(Ln::mul(Ln::set1(2.0f), r), one());
        };
        run_groups(x, y, n, vec, act::tanh_tail);
    }
    // One register of whole groups (also the matrix product's tile form).
    static V gelu_groups(V v) {
        const V cube = Ln::mul(Ln::mul(v, v), v);
        const V u = Ln::add(v, Ln::mul(Ln::set1(act::kGeluCubic), cube));
        const V e = vexp(Ln::mul(Ln::set1(act::kGeluScale2), u));
        const V r = vrecip(Ln::add(one(), e));
        return Ln::mul(v, Ln::sub(one(), r));
    }
    // gelu_groups on N registers in place, step by step over all N (the
    // same bits; the N chains overlap, see vmath::vexp_lanes_n).
    template <int N>
    static void gelu_groups_n(V* v) {
        V e[N], d[N], r[N];
        for (int i = 0; i < N; ++i) {
            const V cube = Ln::mul(Ln::mul(v[i], v[i]), v[i]);
            const V u = Ln::add(v[i], Ln::mul(Ln::set1(act::kGeluCubic), cube));
            e[i] = Ln::mul(Ln::set1(act::kGeluScale2), u);
        }
        vmath::vexp_lanes_n<Ln, N>(e);
        for (int i = 0; i < N; ++i) d[i] = Ln::add(one(), e[i]);
        // recip_lanes, step by step.
        for (int i = 0; i < N; ++i) r[i] = Ln::div(one(), d[i]);
        for (int i = 0; i < N; ++i) r[i] = vmath::recip_step_lanes<Ln>(d[i], r[i]);
        for (int i = 0; i < N; ++i) r[i] = vmath::recip_step_lanes<Ln>(d[i], r[i]);
        for (int i = 0; i < N; ++i) v[i] = Ln::mul(v[i], Ln::sub(one(), r[i]));
    }
    static void gelu(float* x, int32_t n) {
        run_groups(x, x, n, [](V v) { return gelu_groups(v); }, act::gelu_tail);
    }
    // One register of whole groups (also the matrix product's tile form).
    static V silu_groups(V v) { return Ln::mul(v, vrecip(Ln::add(one(), vexp(Ln::neg(v))))); }
    static void silu(const float* x, float* y, int32_t n) {
        run_groups(x, y, n, [](V v) { return silu_groups(v); }, act::silu_tail);
    }
};

}  // namespace

// Defines the activation kernels k_<op>_f32_<suffix> of activation.h on Ln.
#define VANTREL_ACTIVATION_KERNELS(suffix, Ln)                                                             \
    void k_leaky_relu_f32_##suffix(const float* x, float* y, int32_t n, void*, float alpha) {             \
        ActivationLanes<Ln>::leaky_relu(x, y, n, alpha);                                                  \
    }                                                                                                     \
    void k_exp_f32_##suffix(const float* x, float* y, int32_t n, void*) { ActivationLanes<Ln>::exp(x, y, n); } \
    void k_sin_f32_##suffix(const float* x, float* y, int32_t n, void*) { ActivationLanes<Ln>::sin(x, y, n); } \
    void k_sigmoid_f32_##suffix(const float* x, float* y, int32_t n, void*) {                             \
        ActivationLanes<Ln>::sigmoid(x, y, n);                                                            \
    }                                                                                                     \
    void k_tanh_f32_##suffix(const float* x, float* y, int32_t n, void*) { ActivationLanes<Ln>::tanh(x, y, n); } \
    void k_gelu_f32_##suffix(float* x, int32_t n, void*) { ActivationLanes<Ln>::gelu(x, n); }             \
    void k_silu_f32_##suffix(const float* x, float* y, int32_t n, void*) { ActivationLanes<Ln>::silu(x, y, n); }

}  // namespace vantrel
