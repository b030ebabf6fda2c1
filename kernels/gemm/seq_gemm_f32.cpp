#include "kernels/gemm/seq_gemm_f32.h"

#include <omp.h>

#include <algorithm>

#include "kernels/elementwise/activation.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_f32_split.h"

namespace vantrel {

void seq_gemm_f32_using(GemmF32Fn gemm, GeluF32Fn gelu_fn, const float* x, const float* bias,
                        float* y, int32_t t, int32_t k, int32_t n, bool gelu, const float* bp,
                        void* stream) {
    if (t <= 0 || n <= 0) return;
    // One token against 64 KiB to 512 KiB of weights (a decoding step's key
    // and value products): the GEMM engine would run it alone, but then the
    // team falls asleep before the next product, and waking it costs more
    // than these take. Each thread computes its share of the columns, each
    // column summed as alone.
    const int64_t kn = int64_t(k > 0 ? k : 0) * n;
    if (t == 1 && kn >= (int64_t(1) << 14) && !gemm_f32_large_enough(1, k, n) && !omp_in_parallel() &&
        omp_get_max_threads() > 1) {
#pragma omp parallel num_threads(omp_get_max_threads())
        gemm(x, bp, bias, y, false, t, k, n, true);
    } else {
        gemm(x, bp, bias, y, false, t, k, n, false);
    }
    if (!gelu) return;
    // T*N may pass 2^31 while the activation kernel counts in 32 bits;
    // chunks of whole 4-element groups give the same values as one call.
    const int64_t total = int64_t(t) * n, chunk = int64_t(1) << 30;
    for (int64_t i = 0; i < total; i += chunk)
        gelu_fn(y + i, int32_t(std::min(chunk, total - i)), stream);
}

void k_seq_gemm_f32(const float* x, const float*, const float* bias, float* y, int32_t t,
                    int32_t k, int32_t n, bool gelu, const float* bp, void* stream) {
    seq_gemm_f32_using(&gemm_f32_portable, &k_gelu_f32, x, bias, y, t, k, n, gelu, bp, stream);
}

}  // namespace vantrel
