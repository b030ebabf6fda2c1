// Single-token product with int8 weights: the activation row x[K] is
// quantised symmetrically (scale sx), each output is one 32-bit integer dot
// product with an int8 weight row, then
//   y[n] = (sx * scale[n]) * (float)acc[n] (+ bias[n]),
// in exactly that order of single-precision operations.
//
// q holds N plain rows of K bytes (row stride K). The integer sums wrap
// modulo 2^32 and are the same on every path (only the grouping of the
// additions differs), and the float epilogue is scalar and shared, so all
// paths agree bit for bit whatever the thread count.
#pragma once
#include <cstdint>

namespace vantrel {

// Sum of a[i] * b[i] over i < k, wrapping modulo 2^32.
using DotS8Fn = int32_t (*)(const int8_t* a, const int8_t* b, int64_t k);

// Shared driver: quantises x into this thread's buffer, splits the N rows
// over an OpenMP team (one thread inside a parallel region) and finishes
// each row with `dot`.
void seq_gemm_f32_alt_rows(const float* x, const int8_t* q, const float* scale, const float* bias,
                           float* y, int32_t k, int32_t n, DotS8Fn dot);

// The main loop of a path's dot product: D supplies Acc, kBytes and
// step(acc, a, b), which adds the products of kBytes bytes to acc. Four
// accumulators take 4 * kBytes bytes per iteration, then single steps go
// into acc0; i is left at the first byte not yet summed. Static, like the
// helper below: each instruction-set file keeps its own copy.
template <class D>
static inline void dot_s8_steps(const int8_t* a, const int8_t* b, int64_t k, int64_t& i,
                         typename D::Acc& acc0, typename D::Acc& acc1, typename D::Acc& acc2,
                         typename D::Acc& acc3) {
    constexpr int64_t B = D::kBytes;
    for (; i + 4 * B <= k; i += 4 * B) {
        D::step(acc0, a + i, b + i);
        D::step(acc1, a + i + B, b + i + B);
        D::step(acc2, a + i + 2 * B, b + i + 2 * B);
        D::step(acc3, a + i + 3 * B, b + i + 3 * B);
    }
    for (; i + B <= k; i += B) D::step(acc0, a + i, b + i);
}

// acc plus the products of bytes [i, k), wrapping: a dot product's last
// bytes.
static inline int32_t dot_s8_finish(const int8_t* a, const int8_t* b, int64_t i, int64_t k, uint32_t acc) {
    for (; i < k; ++i) acc += uint32_t(int32_t(a[i]) * int32_t(b[i]));
    return int32_t(acc);
}

// Defines the kernel `name` below on a path's dot product.
#define VANTREL_SEQ_GEMM_F32_ALT_KERNEL(name, dot)                                                 \
    void name(const float* x, const int8_t* q, const float* scale, const float* bias, float* y,   \
              int32_t k, int32_t n, void* /*stream*/) {                                           \
        seq_gemm_f32_alt_rows(x, q, scale, bias, y, k, n, &dot);                                  \
    }

// Per-path kernels (the KSeqGemmF32Alt slot signature).
void k_seq_gemm_f32_alt(const float* x, const int8_t* q, const float* scale, const float* bias,
                        float* y, int32_t k, int32_t n, void* stream);
#if defined(__x86_64__)
void k_seq_gemm_f32_alt_avx2(const float* x, const int8_t* q, const float* scale,
                             const float* bias, float* y, int32_t k, int32_t n, void* stream);
void k_seq_gemm_f32_alt_avx512(const float* x, const int8_t* q, const float* scale,
                               const float* bias, float* y, int32_t k, int32_t n, void* stream);
#endif
#if defined(__aarch64__)
void k_seq_gemm_f32_alt_neon(const float* x, const int8_t* q, const float* scale,
                             const float* bias, float* y, int32_t k, int32_t n, void* stream);
#endif

}  // namespace vantrel
