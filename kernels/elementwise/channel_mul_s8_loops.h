// k_channel_mul_s8's loop, written once: each instruction-set file compiles
// it with its own vector width. Integer arithmetic with one rounding shift
// (requantize_once), so every path gives the same bytes. Static so each
// file keeps its own copy.
#pragma once
#include <cstdint>

#include "kernels/elementwise/int8_channels.h"

namespace vantrel {

static void channel_mul_s8_loop(const int8_t* x, const int8_t* s, int8_t* y, int32_t rows, int32_t c, int32_t x_zp,
                                int32_t s_zp, int32_t out_zp, int32_t multiplier, int32_t shift) {
    if (rows <= 0 || c <= 0) return;
    const int32_t sh = 31 - shift;
    // |x - x_zp| and |s - s_zp| stay below 2^9 for zero points in int8
    // range (the layer checks them), so the product fits 32 bits.
    for (int64_t r = 0; r < rows; ++r) {
        const int8_t* xr = x + r * int64_t(c);
        int8_t* yr = y + r * int64_t(c);
        if (sh < 1 || sh > 62) {  // extreme scales: the general form
            for (int32_t ch = 0; ch < c; ++ch)
                yr[ch] = requantize_once((int32_t(xr[ch]) - x_zp) * (int32_t(s[ch]) - s_zp), multiplier, shift, out_zp);
            continue;
        }
        // requantize_once's common case, branch-free for the vectoriser.
        const int64_t half = INT64_C(1) << (sh - 1);
        for (int32_t ch = 0; ch < c; ++ch) {
            const int64_t p = int64_t((int32_t(xr[ch]) - x_zp) * (int32_t(s[ch]) - s_zp)) * multiplier;
            int64_t v = ((p + half) >> sh) + out_zp;
            v = v < -128 ? -128 : v;
            v = v > 127 ? 127 : v;
            yr[ch] = int8_t(v);
        }
    }
}

#define VANTREL_CHANNEL_MUL_S8_KERNEL(suffix)                                                              \
    void k_channel_mul_s8##suffix(const int8_t* x, const int8_t* s, int8_t* y, int32_t rows, int32_t c,     \
                                  int32_t x_zp, int32_t s_zp, int32_t out_zp, int32_t multiplier,            \
                                  int32_t shift, void*) {                                                  \
        channel_mul_s8_loop(x, s, y, rows, c, x_zp, s_zp, out_zp, multiplier, shift);                       \
    }

}  // namespace vantrel
