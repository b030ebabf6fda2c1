#include "kernels/elementwise/slice_channels_f32.h"

#include <cstring>

namespace vantrel {

void k_slice_channels_f32(const float* x, float* out, int32_t n, int32_t c, int32_t start,
                          int32_t count, void*) {
    if (n <= 0 || count <= 0 || start < 0 || int64_t(start) + count > c) return;
    for (int64_t t = 0; t < n; ++t)
        std::memcpy(out + t * count, x + t * int64_t(c) + start, size_t(count) * sizeof(float));
}

}  // namespace vantrel
