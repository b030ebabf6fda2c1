#include "kernels/elementwise/mul_f32.h"

namespace vantrel {

void k_mul_f32(const float* a, const float* b, float* out, int32_t n, void*) {
    for (int64_t i = 0; i < n; ++i) out[i] = a[i] * b[i];
}

}  // namespace vantrel
