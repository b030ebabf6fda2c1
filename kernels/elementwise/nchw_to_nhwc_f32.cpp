#include "kernels/elementwise/nchw_to_nhwc_f32.h"

#include <algorithm>

namespace vantrel {

namespace {
constexpr int64_t kTile = 32;  // 32 x 32 floats: 4 KiB read, 4 KiB written per tile
}

void k_nchw_to_nhwc_f32(const float* x, float* y, int32_t c, int64_t hw, void*) {
    if (c <= 0 || hw <= 0) return;
    const int64_t C = c;
    for (int64_t p0 = 0; p0 < hw; p0 += kTile) {
        const int64_t p1 = std::min(hw, p0 + kTile);
        for (int64_t c0 = 0; c0 < C; c0 += kTile) {
            const int64_t c1 = std::min(C, c0 + kTile);
            for (int64_t p = p0; p < p1; ++p)
                for (int64_t ch = c0; ch < c1; ++ch) y[p * C + ch] = x[ch * hw + p];
        }
    }
}

}  // namespace vantrel
