#include <immintrin.h>

#include "bench/int8_peak.h"

namespace vantrel_bench {

int32_t madd_loop_avx2(int64_t iters) {
    __m256i acc[kInt8PerIter];
    for (int i = 0; i < kInt8PerIter; ++i) acc[i] = _mm256_set1_epi32(i);
    __m256i a = _mm256_set1_epi32(0x00010002), b = _mm256_set1_epi32(0x00030004);
    for (int64_t it = 0; it < iters; ++it) {
        for (int i = 0; i < kInt8PerIter; ++i)
            acc[i] = _mm256_add_epi32(acc[i], _mm256_madd_epi16(a, b));
        __asm__ volatile("" : "+v"(a), "+v"(b));
    }
    __m256i s = acc[0];
    for (int i = 1; i < kInt8PerIter; ++i) s = _mm256_add_epi32(s, acc[i]);
    alignas(32) int32_t lanes[8];
    _mm256_store_si256((__m256i*)lanes, s);
    return lanes[0] + lanes[7];
}

}  // namespace vantrel_bench
