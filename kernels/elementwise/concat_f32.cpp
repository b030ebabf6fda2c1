#include "kernels/elementwise/concat_f32.h"

#include <cstring>

namespace vantrel {

void concat_f32_into(const float* const* in, const int32_t* c, int32_t count, float* out, int64_t out_row,
                     int32_t rows) {
    if (rows <= 0 || count <= 0) return;
    for (int32_t i = 0; i < count; ++i)
        if (c[i] < 0) return;
    for (int64_t r = 0; r < rows; ++r) {
        float* y = out + r * out_row;
        for (int32_t i = 0; i < count; ++i) {
            if (c[i] > 0) std::memcpy(y, in[i] + r * int64_t(c[i]), size_t(c[i]) * sizeof(float));
            y += c[i];
        }
    }
}

void k_concat_f32(const float* const* in, const int32_t* c, int32_t count, float* out, int32_t rows, void*) {
    if (rows <= 0 || count <= 0) return;
    int64_t row = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (c[i] < 0) return;
        row += c[i];
    }
    concat_f32_into(in, c, count, out, row, rows);
}

}  // namespace vantrel
