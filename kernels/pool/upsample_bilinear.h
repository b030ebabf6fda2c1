// Bilinear 2-D upsampling of a channels-last tensor {c, H, W} to {c, OH, OW}
// with half-pixel centres. Every step is a float32 operation in a fixed
// order (no fused multiply-adds), so all paths give identical bits:
//   scale = (1 / (float)OH) * H;  t = scale * (oy + 0.5);  sy = t - 0.5;
//   y0 = sy truncated toward zero;  fy = sy - y0;  wy = (y0 + 1.5) - t;
//   rows r0 = clamp(y0, 0, H-1), r1 = clamp(y0 + 1, 0, H-1); columns alike;
//   out = p00*(wy*wx) + p01*(wy*fx) + p10*(fy*wx) + p11*(fy*fx), summed
//   left to right.
// Truncation toward zero makes the first rows/columns (sy in (-0.5, 0))
// extrapolate slightly from rows 0 and 1. Nothing is computed (nothing is
// read or written) when c, H, W, OH or OW is below 1.
#pragma once
#include <cstdint>

namespace vantrel {

void k_upsample_bilinear_f32(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                             int32_t oh, int32_t ow, void* stream);
#if defined(__x86_64__)
void k_upsample_bilinear_f32_avx2(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                                  int32_t oh, int32_t ow, void* stream);
void k_upsample_bilinear_f32_avx512(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                                    int32_t oh, int32_t ow, void* stream);
#endif
#if defined(__aarch64__)
void k_upsample_bilinear_f32_neon(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                                  int32_t oh, int32_t ow, void* stream);
#endif

// Source taps of one output row (or column). Static: included by files
// built with different instruction sets.
struct BilinearTap {
    int64_t i0, i1;  // clamped source indices
    float w0, f;     // weights of i0 and i1
};
static inline BilinearTap bilinear_tap(float scale, int64_t o, int64_t in_extent) {
    const float t = scale * (float(o) + 0.5f);
    const float s = t - 0.5f;
    const int64_t i = int64_t(s);
    BilinearTap tap;
    tap.f = s - float(i);
    tap.w0 = (float(i) + 1.5f) - t;
    const int64_t last = in_extent - 1;
    tap.i0 = i < 0 ? 0 : (i > last ? last : i);
    tap.i1 = i + 1 < 0 ? 0 : (i + 1 > last ? last : i + 1);
    return tap;
}

}  // namespace vantrel
