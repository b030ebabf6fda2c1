#include "kernels/elementwise/embedding_f32.h"

#include <cstring>

namespace vantrel {

void k_embedding_f32(const float* ids, const float* table, float* out, int32_t n, int32_t vocab,
                     int32_t dim) {
    if (n <= 0 || vocab <= 0 || dim <= 0) return;
    const int64_t d = dim;
    for (int64_t t = 0; t < n; ++t)
        std::memcpy(out + t * d, table + embedding_row(ids[t], vocab) * d, size_t(d) * sizeof(float));
}

// A row gather is a copy: memcpy already moves it at the machine's full
// width, so every path's entry is the portable kernel.
#if defined(__x86_64__)
void k_embedding_f32_avx2(const float* ids, const float* table, float* out, int32_t n,
                          int32_t vocab, int32_t dim) {
    k_embedding_f32(ids, table, out, n, vocab, dim);
}
void k_embedding_f32_avx512(const float* ids, const float* table, float* out, int32_t n,
                            int32_t vocab, int32_t dim) {
    k_embedding_f32(ids, table, out, n, vocab, dim);
}
#endif
#if defined(__aarch64__)
void k_embedding_f32_neon(const float* ids, const float* table, float* out, int32_t n,
                          int32_t vocab, int32_t dim) {
    k_embedding_f32(ids, table, out, n, vocab, dim);
}
#endif

}  // namespace vantrel
