// AVX-512 VNNI dot products. vpdpbusd multiplies unsigned by signed bytes,
// so the activation bytes are offset by 128 (a xor with 0x80) and the
// offset's contribution, 128 * sum(b), is accumulated alongside with a
// second vpdpbusd of the constant 128 and subtracted at the end; both sums
// wrap modulo 2^32, so the difference is the exact wrapped signed sum.
#include <immintrin.h>

#include "kernels/gemm/seq_gemm_f32_alt.h"

namespace vantrel {

namespace {

struct Acc {
    __m512i sum = _mm512_setzero_si512();
    __m512i offset = _mm512_setzero_si512();
};

inline void step(Acc& acc, __m512i va, __m512i vb) {
    const __m512i flip = _mm512_set1_epi8(char(0x80));
    acc.sum = _mm512_dpbusd_epi32(acc.sum, _mm512_xor_si512(va, flip), vb);
    acc.offset = _mm512_dpbusd_epi32(acc.offset, flip, vb);
}

inline __m512i load64(const int8_t* p) { return _mm512_loadu_si512(p); }

int32_t dot_s8_avx512(const int8_t* a, const int8_t* b, int64_t k) {
    Acc acc0, acc1, acc2, acc3;
    int64_t i = 0;
    for (; i + 256 <= k; i += 256) {
        step(acc0, load64(a + i), load64(b + i));
        step(acc1, load64(a + i + 64), load64(b + i + 64));
        step(acc2, load64(a + i + 128), load64(b + i + 128));
        step(acc3, load64(a + i + 192), load64(b + i + 192));
    }
    for (; i + 64 <= k; i += 64) step(acc0, load64(a + i), load64(b + i));
    if (i < k) {
        // Masked-off bytes of b are 0, so they add nothing to either sum.
        const __mmask64 m = __mmask64((uint64_t(1) << (k - i)) - 1);
        step(acc1, _mm512_maskz_loadu_epi8(m, a + i), _mm512_maskz_loadu_epi8(m, b + i));
    }
    __m512i sum = _mm512_add_epi32(_mm512_add_epi32(acc0.sum, acc1.sum), _mm512_add_epi32(acc2.sum, acc3.sum));
    __m512i off = _mm512_add_epi32(_mm512_add_epi32(acc0.offset, acc1.offset),
                                   _mm512_add_epi32(acc2.offset, acc3.offset));
    // Lanes summed through memory: GCC 12's reduce and extract intrinsics
    // trip false uninitialised-value warnings.
    alignas(64) int32_t lanes[16];
    _mm512_store_si512(lanes, _mm512_sub_epi32(sum, off));
    uint32_t acc = 0;
    for (int32_t v : lanes) acc += uint32_t(v);
    return int32_t(acc);
}

}  // namespace

void k_seq_gemm_f32_alt_avx512(const float* x, const int8_t* q, const float* scale,
                               const float* bias, float* y, int32_t k, int32_t n, void*) {
    seq_gemm_f32_alt_rows(x, q, scale, bias, y, k, n, &dot_s8_avx512);
}

}  // namespace vantrel
