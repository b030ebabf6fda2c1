#include "kernels/elementwise/channel_mul_f32.h"

namespace vantrel {

void k_channel_mul_f32(const float* x, const float* s, float* y, int32_t rows, int32_t c, void*) {
    if (rows <= 0 || c <= 0) return;
    for (int64_t r = 0; r < rows; ++r) {
        const float* xr = x + r * int64_t(c);
        float* yr = y + r * int64_t(c);
        for (int64_t j = 0; j < c; ++j) yr[j] = xr[j] * s[j];
    }
}

}  // namespace vantrel
