// Eight units per step; a left-over group of 4 takes the one-lane group form,
// which rounds the same way.
#include "kernels/audio/lstm_cell_lanes.h"
#include "kernels/audio/lstm_f32.h"
#include "kernels/simd/vmath_avx2.h"

namespace vantrel {

namespace {
inline __m256 sig8(__m256 x) {
    const __m256 e = vmath::vexp_avx2(_mm256_xor_ps(x, _mm256_set1_ps(-0.0f)));
    return vmath::recip_avx2(_mm256_add_ps(_mm256_set1_ps(1.0f), e));
}
inline __m256 tanh8(__m256 x) {
    const __m256 e = vmath::vexp_avx2(_mm256_mul_ps(_mm256_set1_ps(-2.0f), x));
    const __m256 r = vmath::recip_avx2(_mm256_add_ps(_mm256_set1_ps(1.0f), e));
    return _mm256_sub_ps(_mm256_mul_ps(_mm256_set1_ps(2.0f), r), _mm256_set1_ps(1.0f));
}
inline __m256 gate_in(float* z, const float* g, int64_t at) {
    const __m256 v = _mm256_add_ps(_mm256_loadu_ps(z + at), _mm256_loadu_ps(g + at));
    _mm256_storeu_ps(z + at, v);
    return v;
}
}  // namespace

void lstm_cell_f32_avx2(VANTREL_LSTM_CELL_F32_ARGS) {
    if (h <= 0) return;
    const int64_t H = h, groups_end = H / 4 * 4;
    int64_t j = 0;
    for (; j + 8 <= groups_end; j += 8) {
        const __m256 i = sig8(gate_in(z, g, j)), f = sig8(gate_in(z, g, H + j));
        const __m256 gg = tanh8(gate_in(z, g, 2 * H + j)), o = sig8(gate_in(z, g, 3 * H + j));
        const __m256 cn = _mm256_add_ps(_mm256_mul_ps(f, _mm256_loadu_ps(c + j)), _mm256_mul_ps(i, gg));
        _mm256_storeu_ps(c + j, cn);
        _mm256_storeu_ps(hs + j, _mm256_mul_ps(o, tanh8(cn)));
    }
    lstm_lane::group_units(z, g, c, hs, H, j, groups_end);
    lstm_lane::tail_units(z, g, c, hs, H, groups_end);
}

}  // namespace vantrel
