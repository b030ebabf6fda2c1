// Int8 conventions shared by the matrix and convolution kernels: fixed-point
// requantisation, the float epilogue, symmetric dynamic row quantisation and
// the work-split rules that keep results independent of the thread count.
#pragma once
#include <cstdint>

namespace vantrel {

struct QuantMultiplier {
    int32_t multiplier = 0;  // in [2^30, 2^31 - 1] for a positive scale, 0 for 0
    int32_t shift = 0;       // > 0: shift left; < 0: rounding shift right
};

QuantMultiplier quantize_multiplier(float scale);

// round(scale * (acc + bias32)) + out_zp with the fixed-point scheme above,
// saturated to int8. The add of acc and bias32 wraps in 32 bits; the left
// shift and the add of out_zp saturate, so a large scale gives the saturated
// int8 value of the right sign rather than a wrapped one.
inline int8_t requantize(int32_t acc, int32_t bias32, int32_t multiplier, int32_t shift, int8_t out_zp) {
    int32_t x = int32_t(uint32_t(acc) + uint32_t(bias32));
    int32_t t;
    if (x == INT32_MIN && multiplier == INT32_MIN) {
        t = INT32_MAX;
    } else {
        int64_t p = int64_t(x) * int64_t(multiplier);
        t = int32_t((2 * p + (int64_t(1) << 31)) >> 32);
    }
    // Exact in 64 bits: |t| <= 2^31 and a left shift is capped at 32 (any
    // nonzero t saturates by then). Right shifts of 32 or more round every
    // t to 0, which is also what the vector lanes give.
    int64_t u;
    if (shift >= 0) {
        u = int64_t(t) * (int64_t(1) << (shift > 32 ? 32 : shift));
    } else {
        int s = shift < -32 ? 32 : -shift;
        u = (int64_t(t) + (int64_t(1) << (s - 1))) >> s;
    }
    int64_t v = u + int64_t(out_zp);
    return int8_t(v < -128 ? -128 : (v > 127 ? 127 : v));
}

inline float dequantize_epilogue(int32_t acc, int32_t bias32, float scale) {
    return float(int32_t(uint32_t(acc) + uint32_t(bias32))) * scale;
}

// Symmetric per-row quantisation; returns the scale (zero point 0).
// Whole blocks of 16 round half to even, the n mod 16 tail half away from
// zero; NaN codes to 0.
float quantize_row_symmetric(const float* x, int8_t* q, int n);

// quantize_row_symmetric over `rows` rows of k values (k apart), the scale
// of row r in scales[r]; every path gives the same codes and scales.
void quantize_rows_symmetric_portable(const float* x, int8_t* q, float* scales, int64_t rows,
                                      int64_t k);
#if defined(__x86_64__)
void quantize_rows_symmetric_avx2(const float* x, int8_t* q, float* scales, int64_t rows, int64_t k);
void quantize_rows_symmetric_avx512(const float* x, int8_t* q, float* scales, int64_t rows,
                                    int64_t k);
#endif

// The pieces of quantize_row_symmetric the vector paths share: the scale
// and its inverse for a row's largest magnitude, and one tail element.
// amax is the largest |x| of the row, NaN left out. Static: a shared inline
// copy could otherwise come from a file compiled for a wider instruction set.
static inline float symmetric_row_scale(float amax, float& inv) {
    if (amax < 1.27e-6f) {
        inv = 1e8f;
        return 1e-8f;
    }
    inv = 127.0f / amax;
    return amax * 0.007874016f;
}
// A rounded value to its code, saturated; NaN (from a NaN or infinite
// input) maps to 0: converting it to an integer is undefined.
static inline int8_t symmetric_code(float v) {
    if (v != v) return int8_t(0);
    return int8_t(v < -128.0f ? -128.0f : (v > 127.0f ? 127.0f : v));
}

// Balanced static split: the first n mod T threads take one item more.
struct SplitRange {
    int64_t begin;
    int64_t end;
};
inline SplitRange balanced_split(int64_t n, int threads, int t) {
    int64_t q = n / threads, r = n % threads;
    if (t < r) return {t * (q + 1), t * (q + 1) + q + 1};
    int64_t b = r + t * q;
    return {b, b + q};
}
// Proportional split: [t*n/T, (t+1)*n/T).
inline SplitRange proportional_split(int64_t n, int threads, int t) {
    return {t * n / threads, (t + 1) * n / threads};
}

}  // namespace vantrel
