#include "kernels/elementwise/scale_f32.h"

namespace vantrel {

void k_scale_f32(const float* x, float* y, int32_t n, void*, float scalar) {
    for (int64_t i = 0; i < n; ++i) y[i] = x[i] * scalar;
}

}  // namespace vantrel
