// Float GEMM on int8 weights with activations quantised per row at run
// time: y = ((float)(q . w + ib) * w_scale) * s_m + fb, in exactly that
// order of single-precision operations.
#include <algorithm>
#include <vector>

#include "kernels/cpu_kernels.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/quantize.h"

namespace vantrel {

void gemm_s8_dynamic(const float* x, const int8_t* bp, const float* w_scale, const int64_t* ib,
                     const float* fb, int8_t* qbuf, float* sbuf, float* y, int32_t m, int32_t k,
                     int32_t n, const void* /*extra*/) {
    if (m <= 0 || n <= 0) return;
    const int64_t K = k > 0 ? k : 0, M = m, N = n;
    thread_local std::vector<float> row_scale;
    thread_local std::vector<int8_t> own_codes;
    thread_local std::vector<float> own_scales;
    if (!qbuf) {
        own_codes.resize(size_t(M * K));
        qbuf = own_codes.data();
    }
    if (!sbuf) {
        own_scales.resize(size_t(N));
        sbuf = own_scales.data();
    }
    row_scale.resize(size_t(M));
    for (int64_t r = 0; r < M; ++r)
        row_scale[r] = quantize_row_symmetric(x + r * K, qbuf + r * K, int(K));
    if (w_scale) std::copy(w_scale, w_scale + N, sbuf);
    else std::fill(sbuf, sbuf + N, 0.0f);
    gemm_s8_f32out(qbuf, bp, ib, sbuf, y, m, int32_t(K), n, false, false);
    for (int64_t r = 0; r < M; ++r) {
        float* yr = y + r * N;
        const float s = row_scale[r];
        for (int64_t c = 0; c < N; ++c) yr[c] = yr[c] * s;
        if (fb)
            for (int64_t c = 0; c < N; ++c) yr[c] = yr[c] + fb[c];
    }
}

void seq_gemm_s8(const float* x, const int8_t* bp, const float* w_scale, const int64_t* ib,
                 const float* fb, int8_t* qbuf, float* sbuf, float* y, int32_t m, int32_t k,
                 int32_t n, bool gelu, void* stream) {
    gemm_s8_dynamic(x, bp, w_scale, ib, fb, qbuf, sbuf, y, m, k, n, nullptr);
    if (!gelu || m <= 0 || n <= 0) return;
    // The GELU the Backend's k_gelu_f32 holds.
    const auto act = cpu_kernels().gelu_f32;
    // The kernel counts in 32 bits; chunks of whole 4-element groups give
    // the same result as one call.
    const int64_t total = int64_t(m) * n, chunk = int64_t(1) << 30;
    for (int64_t i = 0; i < total; i += chunk)
        act(y + i, int32_t(std::min(chunk, total - i)), stream);
}

}  // namespace vantrel
