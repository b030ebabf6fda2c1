#include <arm_neon.h>

#include "kernels/audio/snake_f32.h"
#include "kernels/audio/snake_f32_loops.h"
#include "kernels/simd/vmath_neon.h"

namespace vantrel {

void k_snake_f32_neon(const float* x, float* out, const float* alpha, const float* inv_alpha,
                    int32_t t, int32_t c, void*) {
    snake_run(x, out, alpha, inv_alpha, t, c,
              [](const float* r, float* y, const float* a, const float* ia, int64_t n) {
                  constexpr int64_t W = 4;
                  int64_t j = 0;
                  for (; j + W <= n; j += W) {
                      const float32x4_t v = vld1q_f32(r + j);
                      const float32x4_t s = vmath::vsin_neon(vmulq_f32(vld1q_f32(a + j), v));
                      vst1q_f32(y + j, vaddq_f32(v, vmulq_f32(vld1q_f32(ia + j), vmulq_f32(s, s))));
                  }
                  snake_tail(r, y, a, ia, j, n);
              });
}

}  // namespace vantrel
