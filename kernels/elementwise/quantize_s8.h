// Boundaries between float32 and int8 segments of a model:
//
// k_quantize_s8: y = clamp(round_half_even(x / scale) + zp, -128, 127), a
//   NaN giving zp (one IEEE division per value, so every path agrees);
// k_dequantize_s8: y = float(q - zp) * scale.
#pragma once
#include <cstdint>

namespace vantrel {

#define VANTREL_QUANTIZE_S8_DECLARE(suffix)                                                             \
    void k_quantize_s8##suffix(const float* x, int8_t* y, int64_t n, float scale, int32_t zp, void* stream); \
    void k_dequantize_s8##suffix(const int8_t* x, float* y, int64_t n, float scale, int32_t zp, void* stream);
VANTREL_QUANTIZE_S8_DECLARE()
#if defined(__x86_64__)
VANTREL_QUANTIZE_S8_DECLARE(_avx2)
VANTREL_QUANTIZE_S8_DECLARE(_avx512)
#endif
#if defined(__aarch64__)
VANTREL_QUANTIZE_S8_DECLARE(_neon)
#endif
#undef VANTREL_QUANTIZE_S8_DECLARE

}  // namespace vantrel
