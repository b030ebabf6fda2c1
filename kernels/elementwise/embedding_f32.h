// Row gather from an embedding table [vocab][dim]: for each of n float ids,
// the id truncated toward zero selects a row; ids below 0 (and NaN) read row
// 0, ids at or past vocab read row vocab - 1. out must not overlap ids.
#pragma once
#include <cstdint>

namespace vantrel {

// Table row of one id. Compares in double before converting, so huge ids
// never reach an out-of-range float-to-int conversion.
static inline int64_t embedding_row(float id, int32_t vocab) {
    if (!(id >= 0.0f)) return 0;
    if (double(id) >= double(vocab)) return int64_t(vocab) - 1;
    return int64_t(id);
}

void k_embedding_f32(const float* ids, const float* table, float* out, int32_t n, int32_t vocab,
                     int32_t dim);
#if defined(__x86_64__)
void k_embedding_f32_avx2(const float* ids, const float* table, float* out, int32_t n,
                          int32_t vocab, int32_t dim);
void k_embedding_f32_avx512(const float* ids, const float* table, float* out, int32_t n,
                            int32_t vocab, int32_t dim);
#endif
#if defined(__aarch64__)
void k_embedding_f32_neon(const float* ids, const float* table, float* out, int32_t n,
                          int32_t vocab, int32_t dim);
#endif

}  // namespace vantrel
