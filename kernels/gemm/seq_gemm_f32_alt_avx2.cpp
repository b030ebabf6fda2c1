// AVX2 dot products: both byte rows are sign-extended to 16 bits and
// multiplied pairwise into 32-bit lanes with vpmaddwd (a pair sum is at
// most 2 * 128 * 128, so nothing saturates).
#include <immintrin.h>

#include "kernels/gemm/seq_gemm_f32_alt.h"

namespace vantrel {

namespace {

struct Dot {
    using Acc = __m256i;
    static constexpr int64_t kBytes = 16;
    static void step(Acc& acc, const int8_t* a, const int8_t* b) {
        __m256i va = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)));
        __m256i vb = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
        acc = _mm256_add_epi32(acc, _mm256_madd_epi16(va, vb));
    }
};

int32_t dot_s8_avx2(const int8_t* a, const int8_t* b, int64_t k) {
    __m256i acc0 = _mm256_setzero_si256(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
    int64_t i = 0;
    dot_s8_steps<Dot>(a, b, k, i, acc0, acc1, acc2, acc3);
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
    return dot_s8_finish(a, b, i, k, uint32_t(_mm_cvtsi128_si32(h)));
}

}  // namespace

VANTREL_SEQ_GEMM_F32_ALT_KERNEL(k_seq_gemm_f32_alt_avx2, dot_s8_avx2)

}  // namespace vantrel
