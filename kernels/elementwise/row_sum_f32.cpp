#include "kernels/elementwise/row_sum_f32.h"

#include "kernels/norm/norm_rows.h"

namespace vantrel {

// The order of row_sum_f32.h is the normalisation kernels' lane4 order.
void k_row_sum_f32(const float* in, float* out, int32_t rows, int32_t n) {
    const int64_t len = n < 0 ? 0 : n;
    for (int64_t r = 0; r < rows; ++r) out[r] = lane4_sum(in + r * len, len);
}

}  // namespace vantrel
