// Activation kernels on Advanced SIMD: one group of 4 per register, then
// the scalar tail (activation.h).
#include <arm_neon.h>

#include "kernels/activation.h"
#include "kernels/vmath_neon.h"

namespace vantrel {

namespace {
using namespace vmath;

template <class Vec, class Tail>
void run_groups(const float* x, float* y, int32_t n, Vec vec, Tail tail) {
    int64_t groups_end = n < 0 ? 0 : int64_t(n) / 4 * 4;
    int64_t i = 0;
    for (; i < groups_end; i += 4) vst1q_f32(y + i, vec(vld1q_f32(x + i)));
    for (; i < n; ++i) y[i] = tail(x[i]);
}

inline float32x4_t one() { return vdupq_n_f32(1.0f); }
}  // namespace

void k_leaky_relu_f32_neon(const float* x, float* y, int32_t n, void*, float alpha) {
    const float32x4_t a = vdupq_n_f32(alpha);
    auto vec = [a](float32x4_t v) {
        uint32x4_t keep = vcgeq_f32(v, vdupq_n_f32(0.0f));
        return vbslq_f32(keep, v, vmulq_f32(a, v));
    };
    run_groups(x, y, n, vec, [alpha](float v) { return act::leaky(v, alpha); });
}

void k_exp_f32_neon(const float* x, float* y, int32_t n, void*) {
    run_groups(x, y, n, [](float32x4_t v) { return vexp_neon(v); }, act::exp_tail);
}

void k_sin_f32_neon(const float* x, float* y, int32_t n, void*) {
    run_groups(x, y, n, [](float32x4_t v) { return vsin_neon(v); }, act::sin_tail);
}

void k_sigmoid_f32_neon(const float* x, float* y, int32_t n, void*) {
    auto vec = [](float32x4_t v) { return recip_neon(vaddq_f32(one(), vexp_neon(vnegq_f32(v)))); };
    run_groups(x, y, n, vec, act::sigmoid_tail);
}

void k_tanh_f32_neon(const float* x, float* y, int32_t n, void*) {
    auto vec = [](float32x4_t v) {
        float32x4_t e = vexp_neon(vmulq_f32(vdupq_n_f32(-2.0f), v));
        float32x4_t r = recip_neon(vaddq_f32(one(), e));
        return vsubq_f32(vmulq_f32(vdupq_n_f32(2.0f), r), one());
    };
    run_groups(x, y, n, vec, act::tanh_tail);
}

void k_gelu_f32_neon(float* x, int32_t n, void*) {
    auto vec = [](float32x4_t v) {
        float32x4_t cube = vmulq_f32(vmulq_f32(v, v), v);
        float32x4_t u = vaddq_f32(v, vmulq_f32(vdupq_n_f32(act::kGeluCubic), cube));
        float32x4_t e = vexp_neon(vmulq_f32(vdupq_n_f32(act::kGeluScale2), u));
        float32x4_t r = recip_neon(vaddq_f32(one(), e));
        return vmulq_f32(v, vsubq_f32(one(), r));
    };
    run_groups(x, x, n, vec, act::gelu_tail);
}

void k_silu_f32_neon(const float* x, float* y, int32_t n, void*) {
    auto vec = [](float32x4_t v) {
        return vmulq_f32(v, recip_neon(vaddq_f32(one(), vexp_neon(vnegq_f32(v)))));
    };
    run_groups(x, y, n, vec, act::silu_tail);
}

}  // namespace vantrel
