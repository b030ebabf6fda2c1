#include <immintrin.h>

#include "bench/int8_peak.h"

namespace vantrel_bench {

int32_t vnni_loop_avx512(int64_t iters) {
    __m512i acc[kInt8PerIter];
    for (int i = 0; i < kInt8PerIter; ++i) acc[i] = _mm512_set1_epi32(i);
    __m512i a = _mm512_set1_epi32(0x01020304), b = _mm512_set1_epi32(0x05060708);
    for (int64_t it = 0; it < iters; ++it) {
        for (int i = 0; i < kInt8PerIter; ++i) acc[i] = _mm512_dpbusd_epi32(acc[i], a, b);
        __asm__ volatile("" : "+v"(a), "+v"(b));  // keeps the operands live, not hoisted
    }
    __m512i s = acc[0];
    for (int i = 1; i < kInt8PerIter; ++i) s = _mm512_add_epi32(s, acc[i]);
    alignas(64) int32_t lanes[16];
    _mm512_store_si512(lanes, s);
    return lanes[0] + lanes[15];
}

}  // namespace vantrel_bench
