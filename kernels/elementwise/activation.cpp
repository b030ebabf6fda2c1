#include "kernels/elementwise/activation.h"

namespace vantrel {

namespace {
// Whole groups of 4 through the group formula, the rest through the tail one.
template <class Group, class Tail>
void run_groups(const float* x, float* y, int32_t n, Group group, Tail tail) {
    int64_t groups_end = n < 0 ? 0 : int64_t(n) / 4 * 4;
    for (int64_t i = 0; i < groups_end; ++i) y[i] = group(x[i]);
    for (int64_t i = groups_end; i < n; ++i) y[i] = tail(x[i]);
}
}  // namespace

void k_leaky_relu_f32(const float* x, float* y, int32_t n, void*, float alpha) {
    for (int64_t i = 0; i < n; ++i) y[i] = act::leaky(x[i], alpha);
}

void k_exp_f32(const float* x, float* y, int32_t n, void*) {
    run_groups(x, y, n, [](float v) { return vmath::vexp(v); }, act::exp_tail);
}

void k_sin_f32(const float* x, float* y, int32_t n, void*) {
    run_groups(x, y, n, [](float v) { return vmath::vsin(v); }, act::sin_tail);
}

void k_sigmoid_f32(const float* x, float* y, int32_t n, void*) {
    run_groups(x, y, n, act::sigmoid_group, act::sigmoid_tail);
}

void k_tanh_f32(const float* x, float* y, int32_t n, void*) {
    run_groups(x, y, n, act::tanh_group, act::tanh_tail);
}

void k_gelu_f32(float* x, int32_t n, void*) {
    run_groups(x, x, n, act::gelu_group, act::gelu_tail);
}

void k_silu_f32(const float* x, float* y, int32_t n, void*) {
    run_groups(x, y, n, act::silu_group, act::silu_tail);
}

}  // namespace vantrel
