// Sixteen units per step; a left-over group of 4 takes the one-lane group
// form, which rounds the same way.
#include "kernels/audio/lstm_cell_lanes.h"
#include "kernels/audio/lstm_f32.h"
#include "kernels/simd/vmath_avx512.h"

namespace vantrel {

namespace {
inline __m512 sig16(__m512 x) {
    const __m512 e = vmath::vexp_avx512(_mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(x), _mm512_set1_epi32(int32_t(0x80000000u)))));
    return vmath::recip_avx512(_mm512_add_ps(_mm512_set1_ps(1.0f), e));
}
inline __m512 tanh16(__m512 x) {
    const __m512 e = vmath::vexp_avx512(_mm512_mul_ps(_mm512_set1_ps(-2.0f), x));
    const __m512 r = vmath::recip_avx512(_mm512_add_ps(_mm512_set1_ps(1.0f), e));
    return _mm512_sub_ps(_mm512_mul_ps(_mm512_set1_ps(2.0f), r), _mm512_set1_ps(1.0f));
}
inline __m512 gate_in(float* z, const float* g, int64_t at, __mmask16 m) {
    const __m512 v = _mm512_add_ps(_mm512_maskz_loadu_ps(m, z + at), _mm512_maskz_loadu_ps(m, g + at));
    _mm512_mask_storeu_ps(z + at, m, v);
    return v;
}
}  // namespace

void lstm_cell_f32_avx512(VANTREL_LSTM_CELL_F32_ARGS) {
    if (h <= 0) return;
    const int64_t H = h, groups_end = H / 4 * 4;
    // Whole groups only; the masked last block covers 4, 8 or 12 units.
    for (int64_t j = 0; j < groups_end; j += 16) {
        const int64_t n = groups_end - j < 16 ? groups_end - j : 16;
        const __mmask16 m = __mmask16((1u << n) - 1u);
        const __m512 i = sig16(gate_in(z, g, j, m)), f = sig16(gate_in(z, g, H + j, m));
        const __m512 gg = tanh16(gate_in(z, g, 2 * H + j, m)), o = sig16(gate_in(z, g, 3 * H + j, m));
        const __m512 cn = _mm512_add_ps(_mm512_mul_ps(f, _mm512_maskz_loadu_ps(m, c + j)), _mm512_mul_ps(i, gg));
        _mm512_mask_storeu_ps(c + j, m, cn);
        _mm512_mask_storeu_ps(hs + j, m, _mm512_mul_ps(o, tanh16(cn)));
    }
    lstm_lane::tail_units(z, g, c, hs, H, groups_end);
}

}  // namespace vantrel
