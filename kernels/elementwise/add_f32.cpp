#include "kernels/elementwise/add_f32.h"

namespace vantrel {

void k_add_f32(const float* a, const float* b, float* out, int32_t n, bool relu, void*) {
    if (!relu) {
        for (int64_t i = 0; i < n; ++i) out[i] = a[i] + b[i];
        return;
    }
    int64_t groups_end = n < 0 ? 0 : int64_t(n) / 4 * 4;
    for (int64_t i = 0; i < groups_end; ++i) out[i] = add_f32::relu_group(a[i] + b[i]);
    for (int64_t i = groups_end; i < n; ++i) out[i] = add_f32::relu_tail(a[i] + b[i]);
}

}  // namespace vantrel
