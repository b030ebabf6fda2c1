// Adaptive instance normalisation over time of T rows of C channels:
// out = beta + (x - mean) * (gamma + 1) * rstd per channel, or with a norm
// affine x_hat = norm_b + norm_w * (x - mean) * rstd and
// out = beta + x_hat + gamma * x_hat. Null gamma / beta / norm_b read as 0;
// a null norm_w selects the form without the norm affine.
//
// The channel statistics are summed over fixed blocks of rows
// (kAdaIn1dStatRows), each block from its first row on, and the block sums
// are added in block order. Threads share whole blocks, so the result does
// not depend on the thread count; a T within one block gives the plain
// sequential sum. Every multiply and add rounds separately, and the vector
// paths (lanes across channels) give the portable path's bits.
#pragma once
#include <cstdint>

namespace vantrel {

constexpr int64_t kAdaIn1dStatRows = 256;

void k_ada_in1d_f32(const float* x, float* out, const float* gamma, const float* beta, int32_t t,
                    int32_t c, void* stream, const float* norm_w, float eps, const float* norm_b);
#if defined(__x86_64__)
void k_ada_in1d_f32_avx2(const float* x, float* out, const float* gamma, const float* beta,
                         int32_t t, int32_t c, void* stream, const float* norm_w, float eps,
                         const float* norm_b);
void k_ada_in1d_f32_avx512(const float* x, float* out, const float* gamma, const float* beta,
                           int32_t t, int32_t c, void* stream, const float* norm_w, float eps,
                           const float* norm_b);
#endif
#if defined(__aarch64__)
void k_ada_in1d_f32_neon(const float* x, float* out, const float* gamma, const float* beta,
                         int32_t t, int32_t c, void* stream, const float* norm_w, float eps,
                         const float* norm_b);
#endif

}  // namespace vantrel
