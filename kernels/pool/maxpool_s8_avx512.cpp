#include <immintrin.h>

#include "kernels/pool/maxpool.h"
#include "kernels/pool/maxpool_loops.h"

namespace vantrel {

namespace {
struct Avx512S8 {
    using T = int8_t;
    using V = __m512i;
    static constexpr int L = 64;
    static __mmask64 first(int n) { return n >= 64 ? ~__mmask64(0) : (__mmask64(1) << n) - 1; }
    static V lowest() { return _mm512_set1_epi8(-128); }
    static V load(const int8_t* p) { return _mm512_loadu_si512(p); }
    static V load_n(const int8_t* p, int n) { return _mm512_mask_loadu_epi8(lowest(), first(n), p); }
    static void store(int8_t* p, V v) { _mm512_storeu_si512(p, v); }
    static void store_n(int8_t* p, V v, int n) { _mm512_mask_storeu_epi8(p, first(n), v); }
    static V max(V m, V x) { return _mm512_max_epi8(m, x); }
};
}  // namespace

void k_maxpool_s8_avx512(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w,
                         int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                         int32_t pad_h, int32_t pad_w, void* /*stream*/) {
    maxpool_loops<Avx512S8>(in, out, c, h, w, kh, kw, stride_h, stride_w, pad_h, pad_w);
}

}  // namespace vantrel
