#include <immintrin.h>

#include "bench/int8_peak.h"

namespace vantrel_bench {

// Written in assembly: compiled from intrinsics, GCC 12 moves some of the
// accumulators through the stack, which would time the store-to-load
// latency instead of the instruction.
int32_t vnni_loop_avx512(int64_t iters) {
    static_assert(kInt8PerIter == 12, "twelve chains below");
    __m512i c0 = _mm512_set1_epi32(0), c1 = _mm512_set1_epi32(1), c2 = _mm512_set1_epi32(2),
            c3 = _mm512_set1_epi32(3), c4 = _mm512_set1_epi32(4), c5 = _mm512_set1_epi32(5),
            c6 = _mm512_set1_epi32(6), c7 = _mm512_set1_epi32(7), c8 = _mm512_set1_epi32(8),
            c9 = _mm512_set1_epi32(9), c10 = _mm512_set1_epi32(10), c11 = _mm512_set1_epi32(11);
    const __m512i a = _mm512_set1_epi32(0x01020304), b = _mm512_set1_epi32(0x05060708);
    for (int64_t it = 0; it < iters; ++it)
        __asm__ volatile(
            "vpdpbusd %[b], %[a], %[c0]\n\tvpdpbusd %[b], %[a], %[c1]\n\t"
            "vpdpbusd %[b], %[a], %[c2]\n\tvpdpbusd %[b], %[a], %[c3]\n\t"
            "vpdpbusd %[b], %[a], %[c4]\n\tvpdpbusd %[b], %[a], %[c5]\n\t"
            "vpdpbusd %[b], %[a], %[c6]\n\tvpdpbusd %[b], %[a], %[c7]\n\t"
            "vpdpbusd %[b], %[a], %[c8]\n\tvpdpbusd %[b], %[a], %[c9]\n\t"
            "vpdpbusd %[b], %[a], %[c10]\n\tvpdpbusd %[b], %[a], %[c11]"
            : [c0] "+v"(c0), [c1] "+v"(c1), [c2] "+v"(c2), [c3] "+v"(c3), [c4] "+v"(c4),
              [c5] "+v"(c5), [c6] "+v"(c6), [c7] "+v"(c7), [c8] "+v"(c8), [c9] "+v"(c9),
              [c10] "+v"(c10), [c11] "+v"(c11)
            : [a] "v"(a), [b] "v"(b));
    __m512i s = _mm512_add_epi32(_mm512_add_epi32(_mm512_add_epi32(c0, c1), _mm512_add_epi32(c2, c3)),
                                 _mm512_add_epi32(_mm512_add_epi32(c4, c5), _mm512_add_epi32(c6, c7)));
    s = _mm512_add_epi32(s, _mm512_add_epi32(_mm512_add_epi32(c8, c9), _mm512_add_epi32(c10, c11)));
    alignas(64) int32_t lanes[16];
    _mm512_store_si512(lanes, s);
    return lanes[0] + lanes[15];
}

}  // namespace vantrel_bench
