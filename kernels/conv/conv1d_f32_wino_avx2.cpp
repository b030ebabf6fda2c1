#include "kernels/conv/conv1d_f32_wino.h"
#include "kernels/conv/conv1d_f32_wino_loops.h"
#include "kernels/simd/lanes_f32_avx2.h"

namespace vantrel {

namespace {
struct Avx2Ops : LanesF32Avx2 {
    // Keeps lanes with s > 0; NaN, -0 and negatives become +0.
    static V relu(V s) { return _mm256_and_ps(s, _mm256_cmp_ps(s, _mm256_setzero_ps(), _CMP_GT_OQ)); }
};
}  // namespace

void conv1d_f32_wino_avx2(VANTREL_CONV1D_WINO_F32_ARGS) {
    conv1d_wino_run<Avx2Ops>(padded, u, bias, out, cin, l_out, cout, r, relu, v, mb);
}

}  // namespace vantrel
