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
    // A compare rather than fmax: the same result (a NaN |x| never wins, and
    // amax is never NaN), without a library call per element.
    float amax = 0.0f;
    for (int i = 0; i < n; ++i) {
        const float a = std::fabs(x[i]);
        amax = a > amax ? a : amax;
    }
    float inv;
    const float scale = symmetric_row_scale(amax, inv);
    int full = n / 16 * 16;
    // Full blocks of 16 round half to even (the vector path's rounding); the
    // tail rounds half away from zero.
    for (int i = 0; i < full; ++i) q[i] = symmetric_code(std::nearbyint(x[i] * inv));
    for (int i = full; i < n; ++i) q[i] = symmetric_code(std::round(x[i] * inv));
    return scale;
}

void quantize_rows_symmetric_portable(const float* x, int8_t* q, float* scales, int64_t rows,
                                      int64_t k) {
    for (int64_t r = 0; r < rows; ++r)
        scales[r] = quantize_row_symmetric(x + r * k, q + r * k, int(k));
}

}  // namespace vantrel
