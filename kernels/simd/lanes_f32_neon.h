// Four float lanes in an Advanced SIMD register for the templated row loops:
// the operations of lanes_f32_avx2.h (fmadd/fnmadd are vfmaq/vfmsq, rounded
// once). The struct sits in an unnamed namespace: each file that includes
// this header, built with its own instruction set, gets its own copy.
#pragma once

#include <arm_neon.h>

#include "kernels/simd/lanes_buffered.h"

namespace vantrel {
namespace {

struct LanesF32Neon {
    using V = float32x4_t;
    static constexpr int L = 4;
    static V zero() { return vdupq_n_f32(0.0f); }
    static V set1(float x) { return vdupq_n_f32(x); }
    static V load(const float* p) { return vld1q_f32(p); }
    static V load_n(const float* p, int n) { return load_n_buffered<LanesF32Neon>(p, n, 0.0f); }
    static void store(float* p, V v) { vst1q_f32(p, v); }
    static void store_n(float* p, V v, int n) { store_n_buffered<LanesF32Neon>(p, v, n); }
    static V add(V a, V b) { return vaddq_f32(a, b); }
    static V sub(V a, V b) { return vsubq_f32(a, b); }
    static V mul(V a, V b) { return vmulq_f32(a, b); }
    static V sqrt(V a) { return vsqrtq_f32(a); }
    static V neg(V a) { return vnegq_f32(a); }
    static V fmadd(V a, V b, V c) { return vfmaq_f32(c, a, b); }
    static V fnmadd(V a, V b, V c) { return vfmsq_f32(c, a, b); }
};

}  // namespace
}  // namespace vantrel
