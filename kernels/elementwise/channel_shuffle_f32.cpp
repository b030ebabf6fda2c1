#include "kernels/elementwise/channel_shuffle_f32.h"

namespace vantrel {

void k_channel_shuffle_f32(const float* x, float* y, int32_t rows, int32_t c, int32_t groups, void*) {
    if (rows <= 0 || c <= 0 || groups <= 0 || c % groups != 0) return;
    const int64_t per = c / groups;
    if (groups == 2) {
        // The common case (ShuffleNet): an interleave of two halves, which
        // the compiler turns into vector unpacks.
        for (int64_t r = 0; r < rows; ++r) {
            const float* __restrict a = x + r * int64_t(c);
            const float* __restrict b = a + per;
            float* __restrict yr = y + r * int64_t(c);
            for (int64_t i = 0; i < per; ++i) {
                yr[2 * i] = a[i];
                yr[2 * i + 1] = b[i];
            }
        }
        return;
    }
    for (int64_t r = 0; r < rows; ++r) {
        const float* xr = x + r * int64_t(c);
        float* yr = y + r * int64_t(c);
        // Reads run along each group; writes stride by groups.
        for (int64_t g = 0; g < groups; ++g)
            for (int64_t i = 0; i < per; ++i) yr[i * groups + g] = xr[g * per + i];
    }
}

}  // namespace vantrel
