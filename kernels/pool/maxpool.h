// Max pooling over channels-last tensors: for each output pixel and channel,
// the maximum over the window positions that lie inside the input. The
// running maximum starts at -infinity (float) or -128 (int8), so a window
// entirely in the padding yields that value; padding never contributes.
#pragma once
#include <cstdint>
#include <cstring>

#include "kernels/pool/pool_geometry.h"

namespace vantrel {

void k_maxpool_f32(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                   int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w,
                   void* stream);
void k_maxpool_s8(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                  int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w,
                  void* stream);

// Float max pooling onto the caller's oh x ow grid (ceil mode: the last
// window may run past the input and the right padding; it is clipped).
void k_maxpool_ceil_f32(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                        int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                        int32_t pad_h, int32_t pad_w, void* stream);
void k_maxpool_ceil_s8(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                       int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                       int32_t pad_h, int32_t pad_w, void* stream);

#if defined(__x86_64__)
void k_maxpool_ceil_s8_avx2(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                       int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                       int32_t pad_h, int32_t pad_w, void* stream);
void k_maxpool_ceil_s8_avx512(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                       int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                       int32_t pad_h, int32_t pad_w, void* stream);
void k_maxpool_ceil_f32_avx2(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                             int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                             int32_t pad_h, int32_t pad_w, void* stream);
void k_maxpool_ceil_f32_avx512(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                               int32_t oh, int32_t ow, int32_t kh, int32_t kw, int32_t stride_h,
                               int32_t stride_w, int32_t pad_h, int32_t pad_w, void* stream);
void k_maxpool_f32_avx2(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                        int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                        int32_t pad_w, void* stream);
void k_maxpool_f32_avx512(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                          int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                          int32_t pad_w, void* stream);
void k_maxpool_s8_avx2(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                       int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                       int32_t pad_w, void* stream);
void k_maxpool_s8_avx512(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w,
                         int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                         int32_t pad_h, int32_t pad_w, void* stream);
#endif
#if defined(__aarch64__)
void k_maxpool_ceil_s8_neon(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                       int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                       int32_t pad_h, int32_t pad_w, void* stream);
void k_maxpool_ceil_f32_neon(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                             int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                             int32_t pad_h, int32_t pad_w, void* stream);
void k_maxpool_f32_neon(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                        int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                        int32_t pad_w, void* stream);
void k_maxpool_s8_neon(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                       int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                       int32_t pad_w, void* stream);
#endif

// The float maximum every path computes, lane by lane: the Advanced SIMD
// FMAX rule with `m` as first operand. A signalling NaN in x wins (quietened),
// then a NaN m, then a NaN x; +0 beats -0. `m` is never a signalling NaN here
// (it starts at -infinity and only takes results of this rule).
static inline float maxpool_max_f32(float m, float x) {
    uint32_t mb, xb;
    std::memcpy(&mb, &m, 4);
    std::memcpy(&xb, &x, 4);
    const uint32_t quiet = 0x00400000u;
    bool x_nan = x != x;
    if ((x_nan && !(xb & quiet)) || (x_nan && m == m)) {
        xb |= quiet;
        float r;
        std::memcpy(&r, &xb, 4);
        return r;
    }
    if (m != m) return m;
    if (x > m) return x;
    if (m > x) return m;
    uint32_t rb = mb & xb;  // equal values: identical bits, or +0 against -0
    float r;
    std::memcpy(&r, &rb, 4);
    return r;
}

}  // namespace vantrel
