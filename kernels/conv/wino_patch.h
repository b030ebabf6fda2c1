// The input patch of one F(2x2, 3x3) Winograd tile, shared by the float and
// int8 kernels: tile n of a row-major grid tw tiles wide covers input pixels
// (2*ty - 1 + i, 2*tx - 1 + j) for i, j in 0..3. Static: included by files
// built with different instruction sets.
#pragma once
#include <cstdint>

namespace vantrel {

// p[i][j] points at the c channels of patch pixel (i, j), or at `outside`
// (a row the caller fills with the value of a padding pixel) where that
// pixel lies outside the h x w image.
template <class T>
static inline void wino_patch(const T* in, const T* outside, int64_t h, int64_t w, int64_t c,
                              int64_t tw, int64_t n, const T* (&p)[4][4]) {
    const int64_t ty = n / tw, tx = n % tw;
    for (int i = 0; i < 4; ++i) {
        const int64_t iy = 2 * ty - 1 + i;
        for (int j = 0; j < 4; ++j) {
            const int64_t ix = 2 * tx - 1 + j;
            const bool inside = iy >= 0 && iy < h && ix >= 0 && ix < w;
            p[i][j] = inside ? in + (iy * w + ix) * c : outside;
        }
    }
}

}  // namespace vantrel
