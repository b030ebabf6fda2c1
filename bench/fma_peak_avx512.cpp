#include <immintrin.h>

#include "bench/fma_peak.h"

namespace vantrel_bench {

float fma_loop_avx512(int64_t iters) {
    __m512 acc[kFmaPerIter];
    for (int i = 0; i < kFmaPerIter; ++i) acc[i] = _mm512_set1_ps(float(i));
    const __m512 m = _mm512_set1_ps(0.999999f), c = _mm512_set1_ps(1e-6f);
    for (int64_t it = 0; it < iters; ++it)
        for (int i = 0; i < kFmaPerIter; ++i) acc[i] = _mm512_fmadd_ps(acc[i], m, c);
    __m512 s = acc[0];
    for (int i = 1; i < kFmaPerIter; ++i) s = _mm512_add_ps(s, acc[i]);
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, s);
    return lanes[0] + lanes[15];
}

}  // namespace vantrel_bench
