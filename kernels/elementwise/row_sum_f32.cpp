#include "kernels/elementwise/row_sum_f32.h"

namespace vantrel {

void k_row_sum_f32(const float* in, float* out, int32_t rows, int32_t n) {
    if (rows <= 0) return;
    const int64_t len = n < 0 ? 0 : n, body = len / 4 * 4;
    for (int64_t r = 0; r < rows; ++r) {
        const float* x = in + r * len;
        float l[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int64_t i = 0; i < body; i += 4)
            for (int j = 0; j < 4; ++j) l[j] = l[j] + x[i + j];
        float s = (l[0] + l[1]) + (l[2] + l[3]);
        for (int64_t i = body; i < len; ++i) s = s + x[i];
        out[r] = s;
    }
}

}  // namespace vantrel
