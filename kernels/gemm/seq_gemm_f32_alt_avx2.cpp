// AVX2 dot products: both byte rows are sign-extended to 16 bits and
// multiplied pairwise into 32-bit lanes with vpmaddwd (a pair sum is at
// most 2 * 128 * 128, so nothing saturates).
#include <immintrin.h>

#include "kernels/gemm/seq_gemm_f32_alt.h"

namespace vantrel {

namespace {

inline __m256i madd16(const int8_t* a, const int8_t* b) {
    __m256i va = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)));
    __m256i vb = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
    return _mm256_madd_epi16(va, vb);
}

int32_t dot_s8_avx2(const int8_t* a, const int8_t* b, int64_t k) {
    __m256i acc0 = _mm256_setzero_si256(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
    int64_t i = 0;
    for (; i + 64 <= k; i += 64) {
        acc0 = _mm256_add_epi32(acc0, madd16(a + i, b + i));
        acc1 = _mm256_add_epi32(acc1, madd16(a + i + 16, b + i + 16));
        acc2 = _mm256_add_epi32(acc2, madd16(a + i + 32, b + i + 32));
        acc3 = _mm256_add_epi32(acc3, madd16(a + i + 48, b + i + 48));
    }
    for (; i + 16 <= k; i += 16) acc0 = _mm256_add_epi32(acc0, madd16(a + i, b + i));
    __m256i s = _mm256_add_epi32(_mm256_add_epi32(acc0, acc1), _mm256_add_epi32(acc2, acc3));
    __m128i h = _mm_add_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    if (i + 8 <= k) {
        __m128i va = _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + i)));
        __m128i vb = _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + i)));
        h = _mm_add_epi32(h, _mm_madd_epi16(va, vb));
        i += 8;
    }
    h = _mm_add_epi32(h, _mm_shuffle_epi32(h, 0x4E));
    h = _mm_add_epi32(h, _mm_shuffle_epi32(h, 0xB1));
    uint32_t acc = uint32_t(_mm_cvtsi128_si32(h));
    for (; i < k; ++i) acc += uint32_t(int32_t(a[i]) * int32_t(b[i]));
    return int32_t(acc);
}

}  // namespace

void k_seq_gemm_f32_alt_avx2(const float* x, const int8_t* q, const float* scale,
                             const float* bias, float* y, int32_t k, int32_t n, void*) {
    seq_gemm_f32_alt_rows(x, q, scale, bias, y, k, n, &dot_s8_avx2);
}

}  // namespace vantrel
