// Four float lanes in an Advanced SIMD register for the channel loops of the
// average-pooling and bilinear-upsampling kernels: zero, set1, load, load_n
// (lanes >= n read as 0), store, store_n, add, mul. Plain IEEE single-
// precision operations lane by lane, so every width gives the same bits. The
// struct sits in an unnamed namespace: each file that includes this header,
// built with its own instruction set, gets its own copy.
#pragma once

#include <arm_neon.h>

namespace vantrel {
namespace {

struct LanesF32Neon {
    using V = float32x4_t;
    static constexpr int L = 4;
    static V zero() { return vdupq_n_f32(0.0f); }
    static V set1(float x) { return vdupq_n_f32(x); }
    static V load(const float* p) { return vld1q_f32(p); }
    static V load_n(const float* p, int n) {
        float b[L];
        for (int i = 0; i < L; ++i) b[i] = i < n ? p[i] : 0.0f;
        return vld1q_f32(b);
    }
    static void store(float* p, V v) { vst1q_f32(p, v); }
    static void store_n(float* p, V v, int n) {
        float b[L];
        vst1q_f32(b, v);
        for (int i = 0; i < n; ++i) p[i] = b[i];
    }
    static V add(V a, V b) { return vaddq_f32(a, b); }
    static V mul(V a, V b) { return vmulq_f32(a, b); }
};

}  // namespace
}  // namespace vantrel
