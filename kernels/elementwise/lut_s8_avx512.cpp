// Table lookup on AVX-512BW: as on AVX2, sixteen 16-byte rows looked up with
// pshufb, each kept under a byte mask where the high nibble selects it.
#include <immintrin.h>

#include "kernels/elementwise/lut_s8.h"

namespace vantrel {

void k_lut_s8_avx512(const int8_t* x, const int8_t* table, int8_t* y, int64_t n, void*) {
    if (n <= 0) return;
    __m512i rows[16];
    for (int r = 0; r < 16; ++r)
        rows[r] = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 16 * r)));
    const __m512i bias = _mm512_set1_epi8(-128);
    const __m512i low = _mm512_set1_epi8(0x0F);
    int64_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m512i u = _mm512_xor_si512(_mm512_loadu_si512(x + i), bias);
        const __m512i lo = _mm512_and_si512(u, low);
        const __m512i hi = _mm512_and_si512(_mm512_srli_epi16(u, 4), low);
        __m512i acc = _mm512_setzero_si512();
        for (int r = 0; r < 16; ++r) {
            const __mmask64 sel = _mm512_cmpeq_epi8_mask(hi, _mm512_set1_epi8(char(r)));
            acc = _mm512_mask_mov_epi8(acc, sel, _mm512_shuffle_epi8(rows[r], lo));
        }
        _mm512_storeu_si512(y + i, acc);
    }
    lut_s8_tail(x + i, table, y + i, n - i);
}

}  // namespace vantrel
