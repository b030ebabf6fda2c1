// Causal grouped-query attention with rotary position encoding over a
// key/value cache (slot k_causal_attention_f32).
//
// q [T][Hq*d], k and v [T][Hkv*d] are the projected rows of T new tokens.
// kv_cache holds the key region [Hkv][capacity][d] followed by the value
// region [Hkv][capacity][d]: each head's keys and values lie contiguous, so a
// query head reads its group's cache as two plain streams. Positions below
// cache_position hold the tokens seen before. The kernel rotates the queries and keys (RoPE on the pairs
// (i, i + d/2) of each head, position rope_position + t for token t), writes
// the rotated keys and the values into cache positions cache_position + t, and
// computes out [T][Hq*d]: query head h of token t attends to cache positions
// 0 .. cache_position + t through key/value head h / (Hq / Hkv).
//
// Order of operations, the same on every path so that all paths give the same
// bits:
//   rotation   x[i] = fma(-s, b, c*a), x[i + half] = fma(s, a, c*b), with
//              (s, c) = sincosf(powf(theta, -(2i) * (1/d)) * p);
//   score      s_j = scale * dot(q, key_j), the dot product in eight lanes
//              (lane l takes the elements 8m + l below 8*floor(d/8), each lane
//              a fused multiply-add chain), the lanes summed as
//              ((l0+l1)+(l2+l3)) + ((l4+l5)+(l6+l7)), then the last d mod 8
//              products added one by one with fused multiply-adds;
//   softmax    m = max s_j, e_j = expf(s_j - m), Σ summed in eight lanes
//              like the dot product (lane l adds the e_j with j = l mod 8
//              below 8*floor(n/8), lanes summed in the same tree, then the
//              rest one by one), w_j = e_j * (1 / Σ);
//   output     o[c] = fused multiply-add chain of w_j * value_j[c] in
//              ascending j, starting from 0.
//
// One token's query heads of one key/value group form a unit, claimed as a
// strip (run_strips), the latest tokens (the longest rows) first; each unit
// is computed by one thread alone, so results do not depend on the thread
// count.
//
// cache_flag is accepted for the table's argument list and does not change
// what the kernel does: every call appends its keys and values at
// cache_position. Whether those rows become part of the sequence is the
// caller's bookkeeping (the position it passes next time).
//
// The kernel computes nothing (and writes nothing) when a size is not
// positive, cache_position is negative, cache_position + T exceeds capacity,
// or Hq is not a multiple of Hkv; callers validate first. `work` holds at
// least causal_attention_work_floats(...) floats.
#pragma once
#include <cstdint>

namespace vantrel {

// Floats of `work` one call needs: the rotated query/key rows
// T*(Hq + Hkv)*d, the score rows T*Hq*(cache_position + T) and 2*d for the
// rotation tables; -1 when a count is negative or the total does not fit in
// 63 bits.
int64_t causal_attention_work_floats(int64_t tokens, int64_t cache_position, int64_t num_q_heads,
                                     int64_t num_kv_heads, int64_t head_dim);

void k_causal_attention_f32(const float* q, const float* k, const float* v, float* kv_cache,
                            int32_t cache_position, int32_t capacity, float* out, int32_t tokens,
                            float rope_theta, int32_t num_q_heads, int32_t num_kv_heads,
                            int32_t head_dim, int32_t rope_position, uint8_t cache_flag,
                            float* work, void* stream);
#if defined(__x86_64__)
// AVX2 + FMA.
void k_causal_attention_f32_avx2(const float* q, const float* k, const float* v, float* kv_cache,
                                 int32_t cache_position, int32_t capacity, float* out,
                                 int32_t tokens, float rope_theta, int32_t num_q_heads,
                                 int32_t num_kv_heads, int32_t head_dim, int32_t rope_position,
                                 uint8_t cache_flag, float* work, void* stream);
// AVX-512: the same eight-lane orders, two keys or sixteen columns per register.
void k_causal_attention_f32_avx512(const float* q, const float* k, const float* v, float* kv_cache,
                                   int32_t cache_position, int32_t capacity, float* out,
                                   int32_t tokens, float rope_theta, int32_t num_q_heads,
                                   int32_t num_kv_heads, int32_t head_dim, int32_t rope_position,
                                   uint8_t cache_flag, float* work, void* stream);
#endif
#if defined(__aarch64__)
void k_causal_attention_f32_neon(const float* q, const float* k, const float* v, float* kv_cache,
                                 int32_t cache_position, int32_t capacity, float* out,
                                 int32_t tokens, float rope_theta, int32_t num_q_heads,
                                 int32_t num_kv_heads, int32_t head_dim, int32_t rope_position,
                                 uint8_t cache_flag, float* work, void* stream);
#endif

}  // namespace vantrel
