// Bidirectional multi-head attention over a fused QKV matrix, shared by the
// float and int8 self-attention layers.
//
// qkv is [T][3E]: row t holds the query in columns [0, E), the key in
// [E, 2E) and the value in [2E, 3E). Head h (d = E / H) uses columns
// [h*d, (h+1)*d) of each part and writes its result to the same columns of
// out [T][E]. Columns no head covers (when H does not divide E) are left as
// they are, so callers zero `out` first.
//
// Online softmax in tiles of 64 query rows by 64 keys. For each query row,
// m starts at -inf, l and acc at 0, and for each key tile of n keys:
//   score   s_j = scale * dot, dot = fused multiply-add chain of
//           q[c] * key_j[c] in ascending c from 0; scale = 1 / sqrtf(d);
//   max     m' = max(m, s_0, ..., s_{n-1});
//   rescale a = expf(m - m'); l = l * a; acc[c] = acc[c] * a;
//   weights p_j = vexp(s_j - m') for j below 4*floor(n/4) (groups of 4),
//           expf(s_j - m') for the last n mod 4;
//   sums    l = l + p_j in ascending j; acc[c] = fma(p_j, value_j[c], acc[c])
//           in ascending j.
// After the last tile out[c] = acc[c] * (1 / l). Every path follows this
// order, so all paths and thread counts give the same bits.
//
// key_mask (null: every key) holds one value per token; token j takes part
// as a key only when key_mask[j] != 0. Masked keys are left out of the
// tiles altogether (the kept keys are gathered in order), so they get weight
// exactly 0, as an additive -inf would give, and a query row sees the same
// key tiles as a sequence holding only the kept tokens. Every query row is
// still computed. With no key kept nothing is written.
//
// Heads are claimed one at a time from a shared counter by one OpenMP team;
// each thread gathers its head's keys (transposed, so one key tile is a row
// of contiguous lanes per feature) into a thread-local buffer kept between
// calls, and its queries and values too unless their rows already lie d
// apart (and, for the values, every key is kept). Nothing is computed
// when T, E or H is not positive or d is 0.
#pragma once
#include <cstdint>

namespace vantrel {

// Entry through the CPU kernel table (kernels/cpu_kernels.h).
void attention_core_f32(const float* qkv, float* out, int32_t tokens, int32_t embed,
                        int32_t num_heads, const float* key_mask = nullptr);

// One head of d features on the calling thread, with the bits that head
// gets from attention_core_f32: token t's query, key and value at q, k and
// v + t*ld, its output written at out + t*ldo (nothing when the mask keeps
// no key). Through the CPU kernel table too.
void attention_head_f32(const float* q, const float* k, const float* v, int64_t ld, float* out, int64_t ldo,
                        int32_t tokens, int32_t d, const float* key_mask);

void attention_core_f32_portable(const float* qkv, float* out, int32_t tokens, int32_t embed,
                                 int32_t num_heads, const float* key_mask);
void attention_head_f32_portable(const float* q, const float* k, const float* v, int64_t ld, float* out,
                                 int64_t ldo, int32_t tokens, int32_t d, const float* key_mask);
#if defined(__x86_64__)
void attention_core_f32_avx2(const float* qkv, float* out, int32_t tokens, int32_t embed,
                             int32_t num_heads, const float* key_mask);
void attention_head_f32_avx2(const float* q, const float* k, const float* v, int64_t ld, float* out,
                             int64_t ldo, int32_t tokens, int32_t d, const float* key_mask);
void attention_core_f32_avx512(const float* qkv, float* out, int32_t tokens, int32_t embed,
                               int32_t num_heads, const float* key_mask);
void attention_head_f32_avx512(const float* q, const float* k, const float* v, int64_t ld, float* out,
                               int64_t ldo, int32_t tokens, int32_t d, const float* key_mask);
#endif
#if defined(__aarch64__)
void attention_core_f32_neon(const float* qkv, float* out, int32_t tokens, int32_t embed,
                             int32_t num_heads, const float* key_mask);
void attention_head_f32_neon(const float* q, const float* k, const float* v, int64_t ld, float* out,
                             int64_t ldo, int32_t tokens, int32_t d, const float* key_mask);
#endif

}  // namespace vantrel
