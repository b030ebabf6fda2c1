// Block loops of k_add_s8 on AVX2: one block of 16 or of 8 per iteration.
#include <immintrin.h>

#include "kernels/elementwise/add_s8.h"

namespace vantrel {

namespace {
using add_s8::Params;

void fast_blocks(const int8_t* a, const int8_t* b, int8_t* out, int64_t begin, int64_t end,
                 const Params& p) {
    // madd over interleaved (a, b) pairs gives qa*a + qb*b exactly.
    const __m256i q = _mm256_set1_epi32(int32_t((uint32_t(uint16_t(p.qb)) << 16) | uint16_t(p.qa)));
    const __m256i k = _mm256_set1_epi32(p.k_round);
    for (int64_t blk = begin; blk < end; ++blk) {
        const int64_t i = blk * add_s8::kFastBlock;
        __m256i a16 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
        __m256i b16 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
        // Per 128-bit lane: lo holds elements 0-3 of the lane, hi 4-7, so the
        // in-lane pack below restores element order.
        __m256i lo = _mm256_madd_epi16(_mm256_unpacklo_epi16(a16, b16), q);
        __m256i hi = _mm256_madd_epi16(_mm256_unpackhi_epi16(a16, b16), q);
        lo = _mm256_srai_epi32(_mm256_add_epi32(lo, k), 12);
        hi = _mm256_srai_epi32(_mm256_add_epi32(hi, k), 12);
        __m256i s16 = _mm256_packs_epi32(lo, hi);
        __m128i y = _mm_packs_epi16(_mm256_castsi256_si128(s16), _mm256_extracti128_si256(s16, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), y);
    }
}

// add_s8::sqrdmulh on 8 lanes. |x| <= 2^15 here, so the saturating case
// (both operands -2^31) cannot occur and the 64-bit products cannot overflow.
inline __m256i sqrdmulh(__m256i x, __m256i m) {
    const __m256i rnd = _mm256_set1_epi64x(int64_t(1) << 31);
    __m256i even = _mm256_mul_epi32(x, m);
    __m256i odd = _mm256_mul_epi32(_mm256_srli_epi64(x, 32), m);
    even = _mm256_add_epi64(_mm256_slli_epi64(even, 1), rnd);
    odd = _mm256_add_epi64(_mm256_slli_epi64(odd, 1), rnd);
    // The result is the high half of each 64-bit value.
    return _mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA);
}

// add_s8::rounding_shift by one shift for all lanes; |t| <= 2^15, so the
// rounding add cannot overflow.
inline __m256i rounding_shift(__m256i t, int32_t e) {
    if (e >= 32 || e <= -32) return _mm256_setzero_si256();
    if (e >= 0) return _mm256_sll_epi32(t, _mm_cvtsi32_si128(e));
    __m256i r = _mm256_add_epi32(t, _mm256_set1_epi32(int32_t(1u << (-e - 1))));
    return _mm256_sra_epi32(r, _mm_cvtsi32_si128(-e));
}

inline __m256i scaled(const int8_t* x, __m128i zp, __m256i m, int32_t e) {
    __m128i d = _mm_sub_epi16(_mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x))), zp);
    return rounding_shift(sqrdmulh(_mm256_cvtepi16_epi32(d), m), e);
}

void slow_blocks(const int8_t* a, const int8_t* b, int8_t* out, int64_t begin, int64_t end,
                 const Params& p) {
    const __m128i zpa = _mm_set1_epi16(p.in1_zp16), zpb = _mm_set1_epi16(p.in2_zp16);
    const __m128i zpo = _mm_set1_epi16(p.out_zp16);
    const __m256i ma = _mm256_set1_epi32(p.ma), mb = _mm256_set1_epi32(p.mb);
    for (int64_t blk = begin; blk < end; ++blk) {
        const int64_t i = blk * add_s8::kSlowBlock;
        __m256i s = _mm256_add_epi32(scaled(a + i, zpa, ma, p.ea), scaled(b + i, zpb, mb, p.eb));
        __m128i s16 = _mm_packs_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
        s16 = _mm_add_epi16(s16, zpo);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi16(s16, s16));
    }
}
}  // namespace

VANTREL_ADD_S8_KERNEL(k_add_s8_avx2, fast_blocks, slow_blocks)

}  // namespace vantrel
