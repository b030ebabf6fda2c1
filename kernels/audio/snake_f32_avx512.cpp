#include <immintrin.h>

#include "kernels/audio/snake_f32.h"
#include "kernels/audio/snake_f32_loops.h"
#include "kernels/simd/vmath_avx512.h"

namespace vantrel {

void k_snake_f32_avx512(const float* x, float* out, const float* alpha, const float* inv_alpha,
                    int32_t t, int32_t c, void*) {
    snake_run(x, out, alpha, inv_alpha, t, c,
              [](const float* r, float* y, const float* a, const float* ia, int64_t n) {
                  constexpr int64_t W = 16;
                  int64_t j = 0;
                  for (; j + W <= n; j += W) {
                      const __m512 v = _mm512_loadu_ps(r + j);
                      const __m512 s = vmath::vsin_avx512(_mm512_mul_ps(_mm512_loadu_ps(a + j), v));
                      _mm512_storeu_ps(y + j, _mm512_add_ps(v, _mm512_mul_ps(_mm512_loadu_ps(ia + j), _mm512_mul_ps(s, s))));
                  }
                  snake_tail(r, y, a, ia, j, n);
              });
}

}  // namespace vantrel
