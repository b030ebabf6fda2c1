// Block loops of k_add_s8 on AVX-512: two blocks per iteration, a lone last
// block under a byte mask.
// GCC 12 flags the deliberately undefined pass-through operands inside its
// AVX-512 intrinsic headers as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "kernels/elementwise/add_s8.h"

namespace vantrel {

namespace {
using add_s8::Params;

void fast_blocks(const int8_t* a, const int8_t* b, int8_t* out, int64_t begin, int64_t end,
                 const Params& p) {
    const __m512i q = _mm512_set1_epi32(int32_t((uint32_t(uint16_t(p.qb)) << 16) | uint16_t(p.qa)));
    const __m512i k = _mm512_set1_epi32(p.k_round);
    for (int64_t blk = begin; blk < end; blk += 2) {
        const int64_t i = blk * add_s8::kFastBlock;
        const __mmask32 m = end - blk >= 2 ? 0xFFFFFFFFu : 0x0000FFFFu;
        __m512i a16 = _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(m, a + i));
        __m512i b16 = _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(m, b + i));
        // madd over interleaved (a, b) pairs gives qa*a + qb*b exactly; per
        // 128-bit lane lo holds elements 0-3 and hi 4-7, so the in-lane pack
        // restores element order.
        __m512i lo = _mm512_madd_epi16(_mm512_unpacklo_epi16(a16, b16), q);
        __m512i hi = _mm512_madd_epi16(_mm512_unpackhi_epi16(a16, b16), q);
        lo = _mm512_srai_epi32(_mm512_add_epi32(lo, k), 12);
        hi = _mm512_srai_epi32(_mm512_add_epi32(hi, k), 12);
        __m256i y = _mm512_cvtsepi16_epi8(_mm512_packs_epi32(lo, hi));
        _mm256_mask_storeu_epi8(out + i, m, y);
    }
}

// add_s8::sqrdmulh on 16 lanes; |x| <= 2^15, so neither saturation nor
// 64-bit overflow can occur.
inline __m512i sqrdmulh(__m512i x, __m512i m) {
    const __m512i rnd = _mm512_set1_epi64(int64_t(1) << 31);
    __m512i even = _mm512_mul_epi32(x, m);
    __m512i odd = _mm512_mul_epi32(_mm512_srli_epi64(x, 32), m);
    even = _mm512_add_epi64(_mm512_slli_epi64(even, 1), rnd);
    odd = _mm512_add_epi64(_mm512_slli_epi64(odd, 1), rnd);
    return _mm512_mask_blend_epi32(0xAAAA, _mm512_srli_epi64(even, 32), odd);
}

// add_s8::rounding_shift by one shift for all lanes (|t| <= 2^15).
inline __m512i rounding_shift(__m512i t, int32_t e) {
    if (e >= 32 || e <= -32) return _mm512_setzero_si512();
    if (e >= 0) return _mm512_sll_epi32(t, _mm_cvtsi32_si128(e));
    __m512i r = _mm512_add_epi32(t, _mm512_set1_epi32(int32_t(1u << (-e - 1))));
    return _mm512_sra_epi32(r, _mm_cvtsi32_si128(-e));
}

inline __m512i scaled(const int8_t* x, __mmask16 m, __m256i zp, __m512i mul, int32_t e) {
    __m256i d = _mm256_sub_epi16(_mm256_cvtepi8_epi16(_mm_maskz_loadu_epi8(m, x)), zp);
    return rounding_shift(sqrdmulh(_mm512_cvtepi16_epi32(d), mul), e);
}

void slow_blocks(const int8_t* a, const int8_t* b, int8_t* out, int64_t begin, int64_t end,
                 const Params& p) {
    const __m256i zpa = _mm256_set1_epi16(p.in1_zp16), zpb = _mm256_set1_epi16(p.in2_zp16);
    const __m256i zpo = _mm256_set1_epi16(p.out_zp16);
    const __m512i ma = _mm512_set1_epi32(p.ma), mb = _mm512_set1_epi32(p.mb);
    for (int64_t blk = begin; blk < end; blk += 2) {
        const int64_t i = blk * add_s8::kSlowBlock;
        const __mmask16 m = end - blk >= 2 ? 0xFFFF : 0x00FF;
        __m512i s = _mm512_add_epi32(scaled(a + i, m, zpa, ma, p.ea), scaled(b + i, m, zpb, mb, p.eb));
        __m256i s16 = _mm256_add_epi16(_mm512_cvtsepi32_epi16(s), zpo);
        _mm_mask_storeu_epi8(out + i, m, _mm256_cvtsepi16_epi8(s16));
    }
}
}  // namespace

VANTREL_ADD_S8_KERNEL(k_add_s8_avx512, fast_blocks, slow_blocks)

}  // namespace vantrel
