#include "kernels/gemm/seq_gemm_f32.h"

#include <algorithm>

#include "kernels/elementwise/activation.h"
#include "kernels/gemm/gemm_f32.h"

namespace vantrel {

void seq_gemm_f32_using(GemmF32Fn gemm, GeluF32Fn gelu_fn, const float* x, const float* bias,
                        float* y, int32_t t, int32_t k, int32_t n, bool gelu, const float* bp,
                        void* stream) {
    if (t <= 0 || n <= 0) return;
    gemm(x, bp, bias, y, false, t, k, n, false);
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
