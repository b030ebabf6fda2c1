#include "kernels/gemm/seq_gemm_f32_alt.h"

#include <cstddef>
#include <vector>

#include "kernels/quantize.h"
#include "kernels/parallel/strip_pool.h"

namespace vantrel {

namespace {

// Unsigned arithmetic wraps like the vector lanes do.
int32_t dot_s8_portable(const int8_t* a, const int8_t* b, int64_t k) { return dot_s8_finish(a, b, 0, k, 0); }

}  // namespace

void seq_gemm_f32_alt_rows(const float* x, const int8_t* q, const float* scale, const float* bias,
                           float* y, int32_t k, int32_t n, DotS8Fn dot) {
    if (n <= 0) return;
    const int64_t K = k > 0 ? k : 0, N = n;
    thread_local std::vector<int8_t> qx;
    if (qx.size() < size_t(K)) qx.resize(size_t(K));
    const float sx = quantize_row_symmetric(x, qx.data(), int(K));
    const int8_t* codes = qx.data();
    const int team = strip_team();
    run_shares(N, team, [&](int64_t o0, int64_t o1) {
        for (int64_t o = o0; o < o1; ++o) {
            const int32_t acc = dot(codes, q + o * K, K);
            float v = (sx * scale[o]) * float(acc);
            if (bias) v = v + bias[o];
            y[o] = v;
        }
    });
}

void k_seq_gemm_f32_alt(const float* x, const int8_t* q, const float* scale, const float* bias,
                        float* y, int32_t k, int32_t n, void*) {
    seq_gemm_f32_alt_rows(x, q, scale, bias, y, k, n, &dot_s8_portable);
}

}  // namespace vantrel
