#include <immintrin.h>

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
    static Acc add_n(Acc a, const int8_t* p, int n) {
        alignas(32) int8_t b[L] = {};
        for (int i = 0; i < n; ++i) b[i] = p[i];
        return add_vec(a, _mm256_load_si256(reinterpret_cast<const __m256i*>(b)));
    }
    static void spill(int16_t* dst, const Acc& a) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), a.lo);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 16), a.hi);
    }
};
}  // namespace

void k_avgpool_s8_avx2(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int32_t c,
                       int32_t h, int32_t w, void* /*stream*/, float in_scale, float out_scale) {
    avgpool_s8_loops<Avx2S8>(in, in_zp, out_zp, out, c, h, w, in_scale, out_scale);
}

}  // namespace vantrel
