#include "kernels/quantize.h"

#include <cmath>

namespace vantrel {

QuantMultiplier quantize_multiplier(float scale) {
    QuantMultiplier r;
    // Layers refuse non-finite scales at load; a stray one still must not
    // reach the integer conversion below, whose result would be undefined.
    if (scale == 0.0f || !std::isfinite(scale)) return r;
    int e = 0;
    double q = std::frexp(double(scale), &e);
    int64_t m = int64_t(std::round(q * double(int64_t(1) << 31)));
    if (m == (int64_t(1) << 31)) {
        m = int64_t(1) << 30;
        ++e;
    }
    r.multiplier = int32_t(m);
    r.shift = e;
    return r;
}

float quantize_row_symmetric(const float* x, int8_t* q, int n) {
    float amax = 0.0f;
    for (int i = 0; i < n; ++i) amax = std::fmax(amax, std::fabs(x[i]));
    float scale, inv;
    if (amax < 1.27e-6f) {
        scale = 1e-8f;
        inv = 1e8f;
    } else {
        inv = 127.0f / amax;
        scale = amax * 0.007874016f;
    }
    // NaN (from a NaN or infinite input) maps to 0: converting it to an
    // integer is undefined.
    auto clamp8 = [](float v) {
        if (std::isnan(v)) return int8_t(0);
        return int8_t(v < -128.0f ? -128.0f : (v > 127.0f ? 127.0f : v));
    };
    int full = n / 16 * 16;
    // Full blocks of 16 round half to even (the vector path's rounding); the
    // tail rounds half away from zero.
    for (int i = 0; i < full; ++i) q[i] = clamp8(std::nearbyint(x[i] * inv));
    for (int i = full; i < n; ++i) q[i] = clamp8(std::round(x[i] * inv));
    return scale;
}

}  // namespace vantrel
