// out[r] = sum of row r of a [rows][n] matrix, in a fixed order: four
// running lane sums over the first 4*floor(n/4) values (lane j adds values
// 4i + j, i ascending), combined as (l0 + l1) + (l2 + l3), then the last
// n mod 4 values added in order; 0 for n = 0. The Advanced SIMD path keeps
// the same order, so both agree bit for bit (x86 builds use the portable
// loop, which the compiler vectorises by itself).
#pragma once
#include <cstdint>

namespace vantrel {

void k_row_sum_f32(const float* in, float* out, int32_t rows, int32_t n);
#if defined(__aarch64__)
void k_row_sum_f32_neon(const float* in, float* out, int32_t rows, int32_t n);
#endif

}  // namespace vantrel
