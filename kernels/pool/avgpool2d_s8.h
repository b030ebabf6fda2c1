// Int8 windowed and adaptive average pooling over channels-last tensors,
// with the windows and divisors of avgpool2d.h:
//
//   out = requantize_once(sum over the window of (q - in_zp)) with the fixed-point
//         form of ratio / divisor (int8_channels.h) and out_zp,
//
// where ratio = in_scale / out_scale. A window that reads no input gives
// out_zp. Each path compiles the same integer loops (avgpool2d_s8_loops.h).
#pragma once
#include <cstdint>

namespace vantrel {

#define VANTREL_AVGPOOL_S8_DECLARE(suffix)                                                                  \
    void k_avgpool2d_s8##suffix(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t oh,   \
                                int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,       \
                                int32_t pad_h, int32_t pad_w, bool count_include_pad, int32_t in_zp,         \
                                int32_t out_zp, float ratio, void* stream);                                 \
    void k_adaptive_avgpool_s8##suffix(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w,       \
                                       int32_t oh, int32_t ow, int32_t in_zp, int32_t out_zp, float ratio,   \
                                       void* stream);
VANTREL_AVGPOOL_S8_DECLARE()
#if defined(__x86_64__)
VANTREL_AVGPOOL_S8_DECLARE(_avx2)
VANTREL_AVGPOOL_S8_DECLARE(_avx512)
#endif
#if defined(__aarch64__)
VANTREL_AVGPOOL_S8_DECLARE(_neon)
#endif
#undef VANTREL_AVGPOOL_S8_DECLARE

}  // namespace vantrel
