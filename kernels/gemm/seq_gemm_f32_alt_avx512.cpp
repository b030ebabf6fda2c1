// AVX-512 VNNI dot products. vpdpbusd multiplies unsigned by signed bytes,
// so the activation bytes are offset by 128 (a xor with 0x80) and the
// offset's contribution, 128 * sum(b), is accumulated alongside with a
// second vpdpbusd of the constant 128 and subtracted at the end; both sums
// wrap modulo 2^32, so the difference is the exact wrapped signed sum.
#include <immintrin.h>

#include "kernels/gemm/seq_gemm_f32_alt.h"

namespace vantrel {

namespace {

struct Dot {
    struct Acc {
        __m512i sum = _mm512_setzero_si512();
        __m512i offset = _mm512_setzero_si512();
    };
    static constexpr int64_t kBytes = 64;
    static void step(Acc& acc, __m512i va, __m512i vb) {
        const __m512i flip = _mm512_set1_epi8(char(0x80));
        acc.sum = _mm512_dpbusd_epi32(acc.sum, _mm512_xor_si512(va, flip), vb);
        acc.offset = _mm512_dpbusd_epi32(acc.offset, flip, vb);
    }
    static void step(Acc& acc, const int8_t* a, const int8_t* b) {
        step(acc, _mm512_loadu_si512(a), _mm512_loadu_si512(b));
    }
};

int32_t dot_s8_avx512(const int8_t* a, const int8_t* b, int64_t k) {
    Dot::Acc acc0, acc1, acc2, acc3;
    int64_t i = 0;
    dot_s8_steps<Dot>(a, b, k, i, acc0, acc1, acc2, acc3);
    if (i < k) {
        // Masked-off bytes of b are 0, so they add nothing to either sum.
        const __mmask64 m = __mmask64((uint64_t(1) << (k - i)) - 1);
        Dot::step(acc1, _mm512_maskz_loadu_epi8(m, a + i), _mm512_maskz_loadu_epi8(m, b + i));
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

VANTREL_SEQ_GEMM_F32_ALT_KERNEL(k_seq_gemm_f32_alt_avx512, dot_s8_avx512)

}  // namespace vantrel
