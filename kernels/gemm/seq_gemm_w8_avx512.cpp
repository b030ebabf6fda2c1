// AVX-512 weight-only int8 product: the AVX2 order on 256-bit vectors, with
// the 32 registers of AVX-512VL holding tiles of three rows by four tokens.
// One token goes to the AVX2 kernel.
#include "kernels/gemm/seq_gemm_w8.h"
#include "kernels/gemm/seq_gemm_w8_tiles_x86.h"

namespace vantrel {

void k_seq_gemm_w8_f32_avx512(const float* x, const int8_t* q, const float* scales, const float* bias,
                              float* y, int32_t t, int32_t k, int32_t n, int32_t group, void* stream) {
    if (t > 1) return seq_gemm_w8_tiled<W8TilesX86, 3, 4>(x, q, scales, bias, y, t, k, n, group);
    k_seq_gemm_w8_f32_avx2(x, q, scales, bias, y, t, k, n, group, stream);
}

}  // namespace vantrel
