#include "kernels/elementwise/activation.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/seq_gemm_f32.h"

namespace vantrel {

void k_seq_gemm_f32_avx512(const float* x, const float*, const float* bias, float* y, int32_t t,
                    int32_t k, int32_t n, bool gelu, const float* bp, void* stream) {
    seq_gemm_f32_using(&gemm_f32_avx512, &packed_f32_bytes_avx512, &k_gelu_f32_avx512, x, bias, y, t, k, n, gelu, bp, stream);
}

}  // namespace vantrel
