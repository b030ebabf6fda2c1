// Global average pooling on AVX-512.
#include <immintrin.h>

#include "kernels/simd/lanes_f32_avx512.h"
#include "kernels/pool/avgpool.h"
#include "kernels/pool/avgpool_loops.h"

namespace vantrel {

namespace {
struct Avx512S8 {
    static constexpr int L = 64;
    struct Acc {
        __m512i lo, hi;  // int16 sums of channels 0..31 and 32..63
    };
    static Acc zero() { return Acc{_mm512_setzero_si512(), _mm512_setzero_si512()}; }
    static Acc add_halves(Acc a, __m256i lo, __m256i hi) {
        a.lo = _mm512_add_epi16(a.lo, _mm512_cvtepi8_epi16(lo));
        a.hi = _mm512_add_epi16(a.hi, _mm512_cvtepi8_epi16(hi));
        return a;
    }
    static Acc add(Acc a, const int8_t* p) {
        return add_halves(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)));
    }
    static Acc add_n(Acc a, const int8_t* p, int n) {  // n < 64
        const __mmask64 m = (__mmask64(1) << n) - 1;
        return add_halves(a, _mm256_maskz_loadu_epi8(__mmask32(m), p),
                          _mm256_maskz_loadu_epi8(__mmask32(m >> 32), p + 32));
    }
    static void spill(int16_t* dst, const Acc& a) {
        _mm512_storeu_si512(dst, a.lo);
        _mm512_storeu_si512(dst + 32, a.hi);
    }
};
}  // namespace

VANTREL_AVGPOOL_KERNELS(_avx512, LanesF32Avx512, Avx512S8)

}  // namespace vantrel
