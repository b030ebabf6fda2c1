// Table lookup on AVX2: the 256 entries as sixteen 16-byte rows; each row is
// looked up with pshufb on the low nibble and kept where the high nibble
// selects it.
#include <immintrin.h>

#include "kernels/elementwise/lut_s8.h"

namespace vantrel {

void k_lut_s8_avx2(const int8_t* x, const int8_t* table, int8_t* y, int64_t n, void*) {
    if (n <= 0) return;
    __m256i rows[16];
    for (int r = 0; r < 16; ++r)
        rows[r] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 16 * r)));
    const __m256i bias = _mm256_set1_epi8(-128);
    const __m256i low = _mm256_set1_epi8(0x0F);
    int64_t i = 0;
    for (; i + 32 <= n; i += 32) {
        // Index x + 128 as an unsigned byte.
        const __m256i u = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i)), bias);
        const __m256i lo = _mm256_and_si256(u, low);
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(u, 4), low);
        __m256i acc = _mm256_setzero_si256();
        for (int r = 0; r < 16; ++r) {
            const __m256i sel = _mm256_cmpeq_epi8(hi, _mm256_set1_epi8(char(r)));
            acc = _mm256_or_si256(acc, _mm256_and_si256(sel, _mm256_shuffle_epi8(rows[r], lo)));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + i), acc);
    }
    lut_s8_tail(x + i, table, y + i, n - i);
}

}  // namespace vantrel
