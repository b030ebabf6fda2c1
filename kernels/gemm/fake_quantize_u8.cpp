#include "kernels/gemm/fake_quantize_u8.h"

#include <cmath>

namespace vantrel {

namespace {
inline float round_half_away(float v) { return std::round(v); }
}  // namespace

void fake_quantize_u8(float* x, int64_t n) {
    if (n <= 0) return;
    float mn = 0.0f, mx = 0.0f;
    for (int64_t i = 0; i < n; ++i) {
        // NaN fails both comparisons and does not move the range.
        if (x[i] < mn) mn = x[i];
        if (x[i] > mx) mx = x[i];
    }
    float range = mx - mn;
    // An infinite value leaves no usable step size: keep the row as it is.
    if (!std::isfinite(range)) return;
    float inv, scale;
    if (range > 0.0f) {
        inv = 254.99998f / range;
        scale = range * 0.003921569f;
    } else {
        inv = 1e8f;
        scale = 1e-8f;
    }
    float zp = -mn / scale;
    zp = zp < 0.0f ? 0.0f : round_half_away(zp < 255.0f ? zp : 255.0f);
    for (int64_t i = 0; i < n; ++i) {
        float q = round_half_away(x[i] * inv) + zp;
        q = q < 0.0f ? 0.0f : (q > 255.0f ? 255.0f : q);
        x[i] = (q - zp) * scale;
    }
}

}  // namespace vantrel
