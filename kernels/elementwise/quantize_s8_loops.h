// The quantise/dequantise loops, written once: each instruction-set file
// compiles them with its own vector width. Every step is an IEEE operation
// (division, round to nearest even, comparisons, exact integer conversions)
// and the build never contracts or reassociates, so each path computes the
// same value per element. Static so each file keeps its own copy.
#pragma once
#include <cmath>
#include <cstdint>

namespace vantrel {

static void quantize_s8_loop(const float* x, int8_t* y, int64_t n, float scale, int32_t zp) {
    const float z = float(zp);
    for (int64_t i = 0; i < n; ++i) {
        float r = std::nearbyint(x[i] / scale) + z;
        r = r < -128.0f ? -128.0f : r;
        r = r > 127.0f ? 127.0f : r;
        y[i] = int8_t(r == r ? int32_t(r) : zp);
    }
}

static void dequantize_s8_loop(const int8_t* x, float* y, int64_t n, float scale, int32_t zp) {
    for (int64_t i = 0; i < n; ++i) y[i] = float(int32_t(x[i]) - zp) * scale;
}

#define VANTREL_QUANTIZE_S8_KERNELS(suffix)                                                                \
    void k_quantize_s8##suffix(const float* x, int8_t* y, int64_t n, float scale, int32_t zp, void*) {      \
        quantize_s8_loop(x, y, n, scale, zp);                                                               \
    }                                                                                                      \
    void k_dequantize_s8##suffix(const int8_t* x, float* y, int64_t n, float scale, int32_t zp, void*) {    \
        dequantize_s8_loop(x, y, n, scale, zp);                                                             \
    }

}  // namespace vantrel
