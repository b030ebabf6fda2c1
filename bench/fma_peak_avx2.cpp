#include <immintrin.h>

#include "bench/fma_peak.h"

namespace vantrel_bench {

float fma_loop_avx2(int64_t iters) {
    // 12 independent chains cover FMA latency times issue width on current
    // x86 cores; the multiplier keeps values bounded.
    __m256 acc[kFmaPerIter];
    for (int i = 0; i < kFmaPerIter; ++i) acc[i] = _mm256_set1_ps(float(i));
    const __m256 m = _mm256_set1_ps(0.999999f), c = _mm256_set1_ps(1e-6f);
    for (int64_t it = 0; it < iters; ++it)
        for (int i = 0; i < kFmaPerIter; ++i) acc[i] = _mm256_fmadd_ps(acc[i], m, c);
    __m256 s = acc[0];
    for (int i = 1; i < kFmaPerIter; ++i) s = _mm256_add_ps(s, acc[i]);
    return _mm256_cvtss_f32(s);
}

}  // namespace vantrel_bench
