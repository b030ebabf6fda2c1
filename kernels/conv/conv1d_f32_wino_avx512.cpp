#include "kernels/conv/conv1d_f32_wino.h"
#include "kernels/conv/conv1d_f32_wino_loops.h"
#include "kernels/simd/lanes_f32_avx512.h"

namespace vantrel {

namespace {
struct Avx512Ops : LanesF32Avx512 {
    // Keeps lanes with s > 0; NaN, -0 and negatives become +0.
    static V relu(V s) {
        return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(s, _mm512_setzero_ps(), _CMP_GT_OQ), s);
    }
};
}  // namespace

void conv1d_f32_wino_avx512(VANTREL_CONV1D_WINO_F32_ARGS) {
    conv1d_wino_run<Avx512Ops>(padded, u, bias, out, cin, l_out, cout, r, relu, v, mb);
}

}  // namespace vantrel
