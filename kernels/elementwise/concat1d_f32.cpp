#include "kernels/elementwise/concat1d_f32.h"

#include <cstring>

namespace vantrel {

void k_concat1d_f32(const float* a, const float* b, float* out, int32_t n, int32_t c1, int32_t c2,
                    bool broadcast, void*) {
    if (n <= 0 || c1 < 0 || c2 < 0) return;
    const int64_t row = int64_t(c1) + c2;
    for (int64_t t = 0; t < n; ++t) {
        float* y = out + t * row;
        if (c1 > 0) std::memcpy(y, a + t * c1, size_t(c1) * sizeof(float));
        if (b && c2 > 0) std::memcpy(y + c1, b + (broadcast ? 0 : t * c2), size_t(c2) * sizeof(float));
    }
}

}  // namespace vantrel
