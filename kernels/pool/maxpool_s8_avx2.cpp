#include <immintrin.h>

#include "kernels/pool/maxpool.h"
#include "kernels/pool/maxpool_loops.h"

namespace vantrel {

namespace {
struct Avx2S8 {
    using T = int8_t;
    using V = __m256i;
    static constexpr int L = 32;
    static V lowest() { return _mm256_set1_epi8(-128); }
    static V load(const int8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static V load_n(const int8_t* p, int n) {
        alignas(32) int8_t b[L];
        for (int i = 0; i < L; ++i) b[i] = i < n ? p[i] : int8_t(-128);
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(b));
    }
    static void store(int8_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static void store_n(int8_t* p, V v, int n) {
        alignas(32) int8_t b[L];
        _mm256_store_si256(reinterpret_cast<__m256i*>(b), v);
        for (int i = 0; i < n; ++i) p[i] = b[i];
    }
    static V max(V m, V x) { return _mm256_max_epi8(m, x); }
};
}  // namespace

void k_maxpool_s8_avx2(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                       int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                       int32_t pad_w, void* /*stream*/) {
    maxpool_loops<Avx2S8>(in, out, c, h, w, kh, kw, stride_h, stride_w, pad_h, pad_w);
}

}  // namespace vantrel
