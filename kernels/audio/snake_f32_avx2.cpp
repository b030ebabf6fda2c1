#include <immintrin.h>

#include "kernels/audio/snake_f32.h"
#include "kernels/audio/snake_f32_loops.h"
#include "kernels/simd/vmath_avx2.h"

namespace vantrel {

void k_snake_f32_avx2(const float* x, float* out, const float* alpha, const float* inv_alpha,
                    int32_t t, int32_t c, void*) {
    snake_run(x, out, alpha, inv_alpha, t, c,
              [](const float* r, float* y, const float* a, const float* ia, int64_t n) {
                  constexpr int64_t W = 8;
                  int64_t j = 0;
                  for (; j + W <= n; j += W) {
                      const __m256 v = _mm256_loadu_ps(r + j);
                      const __m256 s = vmath::vsin_avx2(_mm256_mul_ps(_mm256_loadu_ps(a + j), v));
                      _mm256_storeu_ps(y + j, _mm256_add_ps(v, _mm256_mul_ps(_mm256_loadu_ps(ia + j), _mm256_mul_ps(s, s))));
                  }
                  snake_tail(r, y, a, ia, j, n);
              });
}

}  // namespace vantrel
