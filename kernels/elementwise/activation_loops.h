// The activation kernels of activation.h on a lane struct Ln (lanes_f32_*.h)
// that also has the vmath.h group forms exp, recip and sin, neg (sign flip)
// and leaky(v, a) (v where v >= 0, else a * v). Whole groups of 4 run a
// register at a time, the groups left over as one partial register, then the
// n mod 4 tail one element at a time.
//
// Unnamed namespace: each instruction-set file keeps its own copy.
#pragma once
#include <cstdint>

#include "kernels/elementwise/activation.h"

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

    static void leaky_relu(const float* x, float* y, int32_t n, float alpha) {
        const V a = Ln::set1(alpha);
        run_groups(x, y, n, [a](V v) { return Ln::leaky(v, a); }, [alpha](float v) { return act::leaky(v, alpha); });
    }
    static void exp(const float* x, float* y, int32_t n) {
        run_groups(x, y, n, [](V v) { return Ln::exp(v); }, act::exp_tail);
    }
    static void sin(const float* x, float* y, int32_t n) {
        run_groups(x, y, n, [](V v) { return Ln::sin(v); }, act::sin_tail);
    }
    static void sigmoid(const float* x, float* y, int32_t n) {
        run_groups(x, y, n, [](V v) { return Ln::recip(Ln::add(one(), Ln::exp(Ln::neg(v)))); }, act::sigmoid_tail);
    }
    static void tanh(const float* x, float* y, int32_t n) {
        auto vec = [](V v) {
            const V e = Ln::exp(Ln::mul(Ln::set1(-2.0f), v));
            const V r = Ln::recip(Ln::add(one(), e));
            return Ln::sub(Ln::mul(Ln::set1(2.0f), r), one());
        };
        run_groups(x, y, n, vec, act::tanh_tail);
    }
    static void gelu(float* x, int32_t n) {
        auto vec = [](V v) {
            const V cube = Ln::mul(Ln::mul(v, v), v);
            const V u = Ln::add(v, Ln::mul(Ln::set1(act::kGeluCubic), cube));
            const V e = Ln::exp(Ln::mul(Ln::set1(act::kGeluScale2), u));
            const V r = Ln::recip(Ln::add(one(), e));
            return Ln::mul(v, Ln::sub(one(), r));
        };
        run_groups(x, x, n, vec, act::gelu_tail);
    }
    static void silu(const float* x, float* y, int32_t n) {
        run_groups(x, y, n, [](V v) { return Ln::mul(v, Ln::recip(Ln::add(one(), Ln::exp(Ln::neg(v))))); },
                   act::silu_tail);
    }
};

}  // namespace
}  // namespace vantrel
