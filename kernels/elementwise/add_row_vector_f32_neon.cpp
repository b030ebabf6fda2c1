#include <arm_neon.h>

#include "kernels/elementwise/add_row_vector_f32.h"

namespace vantrel {

void k_add_row_vector_f32_neon(float* x, const float* v, int32_t rows, int32_t n) {
    if (rows <= 0 || n <= 0) return;
    for (int64_t r = 0; r < rows; ++r) {
        float* row = x + r * int64_t(n);
        int64_t j = 0;
        for (; j + 4 <= n; j += 4) vst1q_f32(row + j, vaddq_f32(vld1q_f32(row + j), vld1q_f32(v + j)));
        for (; j < n; ++j) row[j] = row[j] + v[j];
    }
}

}  // namespace vantrel
