// k_channel_mul_f32 on a lane struct Ln (lanes_f32_*.h): whole registers
// along each row, then one partial register. Unnamed namespace: each
// instruction-set file keeps its own copy.
#pragma once
#include <cstdint>

namespace vantrel {
namespace {

template <class Ln>
void channel_mul_lanes(const float* x, const float* s, float* y, int32_t rows, int32_t c) {
    if (rows <= 0 || c <= 0) return;
    for (int64_t r = 0; r < rows; ++r) {
        const float* xr = x + r * int64_t(c);
        float* yr = y + r * int64_t(c);
        int64_t j = 0;
        for (; j + Ln::L <= c; j += Ln::L) Ln::store(yr + j, Ln::mul(Ln::load(xr + j), Ln::load(s + j)));
        if (j < c) {
            const int k = int(c - j);
            Ln::store_n(yr + j, Ln::mul(Ln::load_n(xr + j, k), Ln::load_n(s + j, k)), k);
        }
    }
}

}  // namespace
}  // namespace vantrel
