#include <immintrin.h>

#include "bench/int8_peak.h"

namespace vantrel_bench {

// Written in assembly for the reason given in vnni_peak_avx512.cpp. One
// temporary serves every step: register renaming removes the false
// dependencies.
int32_t madd_loop_avx2(int64_t iters) {
    static_assert(kInt8PerIter == 12, "twelve chains below");
    __m256i c0 = _mm256_set1_epi32(0), c1 = _mm256_set1_epi32(1), c2 = _mm256_set1_epi32(2),
            c3 = _mm256_set1_epi32(3), c4 = _mm256_set1_epi32(4), c5 = _mm256_set1_epi32(5),
            c6 = _mm256_set1_epi32(6), c7 = _mm256_set1_epi32(7), c8 = _mm256_set1_epi32(8),
            c9 = _mm256_set1_epi32(9), c10 = _mm256_set1_epi32(10), c11 = _mm256_set1_epi32(11);
    const __m256i a = _mm256_set1_epi32(0x00010002), b = _mm256_set1_epi32(0x00030004);
    __m256i t;
#define VANTREL_STEP(c) "vpmaddwd %[b], %[a], %[t]\n\tvpaddd %[t], %[" c "], %[" c "]\n\t"
    for (int64_t it = 0; it < iters; ++it)
        __asm__ volatile(
            VANTREL_STEP("c0") VANTREL_STEP("c1") VANTREL_STEP("c2") VANTREL_STEP("c3")
            VANTREL_STEP("c4") VANTREL_STEP("c5") VANTREL_STEP("c6") VANTREL_STEP("c7")
            VANTREL_STEP("c8") VANTREL_STEP("c9") VANTREL_STEP("c10") VANTREL_STEP("c11")
            : [c0] "+x"(c0), [c1] "+x"(c1), [c2] "+x"(c2), [c3] "+x"(c3), [c4] "+x"(c4),
              [c5] "+x"(c5), [c6] "+x"(c6), [c7] "+x"(c7), [c8] "+x"(c8), [c9] "+x"(c9),
              [c10] "+x"(c10), [c11] "+x"(c11), [t] "=&x"(t)
            : [a] "x"(a), [b] "x"(b));
#undef VANTREL_STEP
    __m256i s = _mm256_add_epi32(_mm256_add_epi32(_mm256_add_epi32(c0, c1), _mm256_add_epi32(c2, c3)),
                                 _mm256_add_epi32(_mm256_add_epi32(c4, c5), _mm256_add_epi32(c6, c7)));
    s = _mm256_add_epi32(s, _mm256_add_epi32(_mm256_add_epi32(c8, c9), _mm256_add_epi32(c10, c11)));
    alignas(32) int32_t lanes[8];
    _mm256_store_si256((__m256i*)lanes, s);
    return lanes[0] + lanes[7];
}

}  // namespace vantrel_bench
