#include "kernels/elementwise/int8_channels.h"

#include <cstring>

#include "kernels/elementwise/lut_s8.h"

namespace vantrel {

void k_concat_s8(const int8_t* const* in, const int8_t* const* tables, const int32_t* c, int32_t count,
                 int8_t* out, int32_t rows, void*) {
    if (rows <= 0 || count <= 0) return;
    int64_t row = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (c[i] < 0) return;
        row += c[i];
    }
    for (int64_t r = 0; r < rows; ++r) {
        int8_t* y = out + r * row;
        for (int32_t i = 0; i < count; ++i) {
            const int8_t* x = in[i] + r * int64_t(c[i]);
            if (tables[i])
                lut_s8_tail(x, tables[i], y, c[i]);
            else if (c[i] > 0)
                std::memcpy(y, x, size_t(c[i]));
            y += c[i];
        }
    }
}

void k_channel_shuffle_s8(const int8_t* x, int8_t* y, int32_t rows, int32_t c, int32_t groups, void*) {
    if (rows <= 0 || c <= 0 || groups <= 0 || c % groups != 0) return;
    const int64_t per = c / groups;
    for (int64_t r = 0; r < rows; ++r) {
        const int8_t* xr = x + r * int64_t(c);
        int8_t* yr = y + r * int64_t(c);
        for (int64_t g = 0; g < groups; ++g)
            for (int64_t i = 0; i < per; ++i) yr[i * groups + g] = xr[g * per + i];
    }
}

}  // namespace vantrel
