// Global average pooling on AVX2.
#include <immintrin.h>

#include "kernels/simd/lanes_f32_avx2.h"
#include "kernels/pool/avgpool.h"
#include "kernels/pool/avgpool_loops.h"

namespace vantrel {

namespace {
struct Avx2S8 {
    static constexpr int L = 32;
    struct Acc {
        __m256i lo, hi;  // int16 sums of channels 0..15 and 16..31
    };
    static Acc zero() { return Acc{_mm256_setzero_si256(), _mm256_setzero_si256()}; }
    static Acc add_vec(Acc a, __m256i v) {
        a.lo = _mm256_add_epi16(a.lo, _mm256_cvtepi8_epi16(_mm256_castsi256_si128(v)));
        a.hi = _mm256_add_epi16(a.hi, _mm256_cvtepi8_epi16(_mm256_extracti128_si256(v, 1)));
        return a;
    }
    static Acc add(Acc a, const int8_t* p) {
        return add_vec(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    }
    static Acc add_n(Acc a, const int8_t* p, int n) { return avgpool_s8_add_padded<Avx2S8>(a, p, n); }
    static void spill(int16_t* dst, const Acc& a) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), a.lo);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 16), a.hi);
    }
};
}  // namespace

VANTREL_AVGPOOL_KERNELS(_avx2, LanesF32Avx2, Avx2S8)

}  // namespace vantrel
