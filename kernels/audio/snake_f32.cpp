#include "kernels/audio/snake_f32.h"

#include "kernels/audio/snake_f32_loops.h"

namespace vantrel {

void k_snake_f32(const float* x, float* out, const float* alpha, const float* inv_alpha, int32_t t,
                 int32_t c, void*) {
    snake_run(x, out, alpha, inv_alpha, t, c,
              [](const float* r, float* y, const float* a, const float* ia, int64_t n) {
                  snake_tail(r, y, a, ia, 0, n);
              });
}

}  // namespace vantrel
