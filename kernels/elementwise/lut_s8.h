// Int8 table lookup: y[i] = table[x[i] + 128] for a 256-entry table built
// when the model is converted (any int8 -> int8 map of one value: hard
// swish, sigmoid, GELU, a requantisation...). Lookups are exact, so every
// path gives the same bytes.
#pragma once
#include <cstdint>

namespace vantrel {

void k_lut_s8(const int8_t* x, const int8_t* table, int8_t* y, int64_t n, void* stream);
#if defined(__x86_64__)
void k_lut_s8_avx2(const int8_t* x, const int8_t* table, int8_t* y, int64_t n, void* stream);
void k_lut_s8_avx512(const int8_t* x, const int8_t* table, int8_t* y, int64_t n, void* stream);
#endif
#if defined(__aarch64__)
void k_lut_s8_neon(const int8_t* x, const int8_t* table, int8_t* y, int64_t n, void* stream);
#endif

// The scalar lookup every path uses for its tail.
static inline void lut_s8_tail(const int8_t* x, const int8_t* table, int8_t* y, int64_t n) {
    for (int64_t i = 0; i < n; ++i) y[i] = table[int(x[i]) + 128];
}

}  // namespace vantrel
