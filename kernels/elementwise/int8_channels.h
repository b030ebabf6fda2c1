// Int8 channel kernels of the image models' int8 form, channels-last rows of
// c values:
//
// k_concat_s8: rows of count inputs side by side; input i's values pass
//   through tables[i] (256 entries indexed by value + 128, requantising to
//   the output's scale) or are copied when tables[i] is null.
// k_channel_shuffle_s8: y[r][i * groups + g] = x[r][g * (c / groups) + i].
// k_channel_mul_s8: y[r][ch] = requantize_once((x[r][ch] - x_zp) * (s[ch] - s_zp),
//   multiplier, shift, out_zp), the multiplier/shift of quantize_multiplier.
//
// Concat and shuffle only move data, so one version serves every path;
// k_channel_mul_s8 has vector versions (channel_mul_s8_loops.h), integer
// arithmetic, so every path gives the same bytes.
#pragma once
#include <cstdint>

namespace vantrel {

// round(acc * multiplier * 2^(shift - 31)) + zp saturated to int8, with one
// rounding (halves up) in 64 bits: the accumulators here are small
// integers (sums of a few window codes, a product of two codes), which a
// rounding before the shift would move by up to one step. |acc| < 2^31 and
// the multiplier below 2^31 keep the product in 63 bits.
static inline int8_t requantize_once(int32_t acc, int32_t multiplier, int32_t shift, int32_t zp) {
    const int64_t p = int64_t(acc) * int64_t(multiplier);
    const int32_t s = 31 - shift;
    int64_t v;
    if (s <= 0)
        v = p == 0 ? 0 : (p > 0 ? INT64_C(1) << 40 : -(INT64_C(1) << 40));  // a scale of 2^30 or more
    else if (s >= 63)
        v = 0;
    else
        v = (p + (INT64_C(1) << (s - 1))) >> s;
    v += zp;
    return int8_t(v < -128 ? -128 : (v > 127 ? 127 : v));
}

void k_concat_s8(const int8_t* const* in, const int8_t* const* tables, const int32_t* c, int32_t count,
                 int8_t* out, int32_t rows, void* stream);
void k_channel_shuffle_s8(const int8_t* x, int8_t* y, int32_t rows, int32_t c, int32_t groups, void* stream);
#define VANTREL_CHANNEL_MUL_S8_DECLARE(suffix)                                                            \
    void k_channel_mul_s8##suffix(const int8_t* x, const int8_t* s, int8_t* y, int32_t rows, int32_t c,     \
                                  int32_t x_zp, int32_t s_zp, int32_t out_zp, int32_t multiplier,            \
                                  int32_t shift, void* stream);
VANTREL_CHANNEL_MUL_S8_DECLARE()
#if defined(__x86_64__)
VANTREL_CHANNEL_MUL_S8_DECLARE(_avx2)
VANTREL_CHANNEL_MUL_S8_DECLARE(_avx512)
#endif
#if defined(__aarch64__)
VANTREL_CHANNEL_MUL_S8_DECLARE(_neon)
#endif
#undef VANTREL_CHANNEL_MUL_S8_DECLARE

}  // namespace vantrel
