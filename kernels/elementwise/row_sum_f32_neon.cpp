#include "kernels/elementwise/row_sum_f32.h"
#include "kernels/norm/norm_rows.h"
#include "kernels/norm/norm_rows_neon.h"

namespace vantrel {

void k_row_sum_f32_neon(const float* in, float* out, int32_t rows, int32_t n) {
    const int64_t len = n < 0 ? 0 : n;
    for (int64_t r = 0; r < rows; ++r) {
        const float* x = in + r * len;
        lane4_sums<Lanes4Neon, 1, false>(&x, len, nullptr, out + r);
    }
}

}  // namespace vantrel
