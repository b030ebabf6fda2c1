// Polynomial exponential, refined reciprocal and polynomial sine, one lane
// at a time. The vector kernels work on groups of 4 lanes, each lane
// independent of the others, so a group is these functions applied to its
// 4 elements; the AVX2, AVX-512 and Advanced SIMD versions (vmath_avx2.h,
// vmath_avx512.h, vmath_neon.h) round exactly like them.
//
// Everything here is `static inline`: the headers are included by files
// compiled with different instruction sets, and a shared (weak) copy could
// otherwise be taken from a file built with a wider set; for the same reason
// they call the C math functions rather than the inline std:: overloads.
#pragma once
#include <math.h>

#include <cstdint>
#include <cstring>

namespace vantrel {
namespace vmath {

constexpr float kExpHi = 88.0f;
constexpr float kExpLo = -88.0f;
constexpr float kLog2e = 1.44269502f;
constexpr float kLn2Hi = 0.693359375f;
constexpr float kLn2Lo = -2.12194442e-4f;
constexpr float kExpP0 = 1.98756912e-4f;
constexpr float kExpP1 = 1.39819994e-3f;
constexpr float kExpP2 = 8.33345205e-3f;
constexpr float kExpP3 = 4.16657962e-2f;
constexpr float kExpP4 = 0.166666657f;
constexpr float kExpP5 = 0.5f;
constexpr float kExpP6 = 1.0f;
constexpr float kExpP7 = 1.0f;

constexpr float kInvPi = 0.318309873f;
constexpr float kPi = 3.14159274f;
constexpr float kSinP0 = 2.75573166e-6f;
constexpr float kSinP1 = -1.98412701e-4f;
constexpr float kSinP2 = 8.33333377e-3f;
constexpr float kSinP3 = -0.166666672f;
constexpr float kSinP4 = 1.0f;
// Floats at or above this magnitude are even integers, so a rounded
// multiple of pi that large has even parity on every path (the vector
// conversions to int disagree beyond the int32 range).
constexpr float kParityLimit = 16777216.0f;

static inline float bits_to_float(uint32_t u) {
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}
static inline uint32_t float_to_bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// exp(z): clamp to [-88, 88] (NaN passes through), split z = k*ln2 + r with
// k rounded to nearest even, a degree-7 polynomial in r with fused steps,
// times 2^k built in the exponent field (k = -127 gives 0).
static inline float vexp(float z) {
    z = z > kExpHi ? kExpHi : z;
    z = z < kExpLo ? kExpLo : z;
    float k = ::nearbyintf(z * kLog2e);
    float r = ::fmaf(-k, kLn2Hi, z);
    r = ::fmaf(-k, kLn2Lo, r);
    float p = kExpP0;
    p = ::fmaf(p, r, kExpP1);
    p = ::fmaf(p, r, kExpP2);
    p = ::fmaf(p, r, kExpP3);
    p = ::fmaf(p, r, kExpP4);
    p = ::fmaf(p, r, kExpP5);
    p = ::fmaf(p, r, kExpP6);
    p = ::fmaf(p, r, kExpP7);
    int32_t ki = k == k ? int32_t(k) : 0;  // NaN: p is NaN already
    return p * bits_to_float(uint32_t(ki + 127) << 23);
}

// One Newton step of the reciprocal: r * (2 - d*r), rounded step by step.
static inline float recip_step(float d, float r) { return r * (2.0f - d * r); }

// 1/d: the first estimate is the correctly rounded quotient rather than a
// hardware estimate (x86 and Arm estimates differ in their low bits), then
// two refinement steps, so every path gives the same bits.
static inline float recip(float d) { return recip_step(d, recip_step(d, 1.0f / d)); }

// sin(x): reduce by the nearest multiple k of pi, odd polynomial in the
// remainder, sign flipped for odd k. Multiply and add are rounded separately.
static inline float vsin(float x) {
    float k = ::nearbyintf(x * kInvPi);
    float r = x - k * kPi;
    float q = r * r;
    float p = kSinP0;
    p = p * q + kSinP1;
    p = p * q + kSinP2;
    p = p * q + kSinP3;
    p = p * q + kSinP4;
    float y = r * p;
    bool odd = ::fabsf(k) < kParityLimit && (int32_t(k) & 1);
    return odd ? bits_to_float(float_to_bits(y) ^ 0x80000000u) : y;
}

}  // namespace vmath
}  // namespace vantrel
