// Windowed and adaptive average pooling over channels-last tensors, onto
// the caller's oh x ow output grid.
//
// Each output is (sum of the window's input pixels, from +0 in (row,
// column) order, in float32) / (float)divisor: one IEEE division, so every
// path gives the same bits. A window that reads no input gives 0.
//
// k_avgpool2d_f32: window o along an axis starts at o*stride - pad and
// spans k positions; the divisor counts the positions read, or with
// count_include_pad those inside the padded input (a ceil-mode window that
// runs past the right padding is cut there).
//
// k_adaptive_avgpool_f32: output o along an axis averages input positions
// [floor(o*in/out), ceil((o+1)*in/out)).
#pragma once
#include <cstdint>

namespace vantrel {

void k_avgpool2d_f32(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t oh, int32_t ow,
                     int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w,
                     bool count_include_pad, void* stream);
void k_adaptive_avgpool_f32(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                            int32_t ow, void* stream);

#define VANTREL_AVGPOOL2D_DECLARE(suffix)                                                              \
    void k_avgpool2d_f32##suffix(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t oh, \
                                 int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,   \
                                 int32_t pad_h, int32_t pad_w, bool count_include_pad, void* stream);      \
    void k_adaptive_avgpool_f32##suffix(const float* in, float* out, int32_t c, int32_t h, int32_t w,      \
                                        int32_t oh, int32_t ow, void* stream);
#if defined(__x86_64__)
VANTREL_AVGPOOL2D_DECLARE(_avx2)
VANTREL_AVGPOOL2D_DECLARE(_avx512)
#endif
#if defined(__aarch64__)
VANTREL_AVGPOOL2D_DECLARE(_neon)
#endif
#undef VANTREL_AVGPOOL2D_DECLARE

}  // namespace vantrel
