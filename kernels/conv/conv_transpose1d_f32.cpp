#include "kernels/conv/conv_transpose1d_f32.h"

#include <omp.h>

#include <cmath>
#include <cstring>

#include "kernels/gemm/gemm_f32.h"

namespace vantrel {

int64_t conv_transpose1d_out_length(int64_t l, int64_t k, int64_t stride, int64_t pad,
                                    int64_t output_padding) {
    if (l < 1) return 0;
    const int64_t n = (l - 1) * stride - 2 * pad + k + output_padding;
    return n < 0 ? 0 : n;
}

void conv_transpose1d_f32_taps(const float* in, const float* const* taps, const float* bias,
                               float* out, int32_t cin, int32_t l, int32_t cout, int32_t k,
                               int32_t stride, int32_t pad, int64_t l_out, float* y_tap) {
    if (l_out <= 0 || cout <= 0) return;
    const int64_t C = cout;
    std::memset(out, 0, size_t(l_out * C) * sizeof(float));
    if (l > 0 && cin > 0) {
        for (int64_t tap = 0; tap < k; ++tap) {
            gemm_f32_plain(in, taps[tap], y_tap, l, cin, cout);
            for (int64_t t = 0; t < l; ++t) {
                const int64_t p = t * stride + tap - pad;
                if (p < 0 || p >= l_out) continue;
                float* y = out + p * C;
                const float* src = y_tap + t * C;
                for (int64_t o = 0; o < C; ++o) y[o] += src[o];
            }
        }
    }
    if (bias)
        for (int64_t p = 0; p < l_out; ++p)
            for (int64_t o = 0; o < C; ++o) out[p * C + o] += bias[o];
}

void conv_transpose1d_f32_grouped(const float* in, const float* wg, const float* bias, float* out,
                                  int32_t cin, int32_t l, int32_t cout, int32_t k, int32_t stride,
                                  int32_t pad, int32_t groups, int64_t l_out) {
    if (l_out <= 0 || cout <= 0 || groups <= 0) return;
    const int64_t cig = cin / groups, cog = cout / groups, C = cout, K = k, S = stride;
    // Rows are independent, so any split of them gives the same result; a
    // team only pays on longer products.
    const double work = double(l_out) * double(C) * double(cig) * double(K) / double(S);
    const bool parallel = omp_get_max_threads() > 1 && work >= 65536.0;
#pragma omp parallel for schedule(static) if (parallel)
    for (int64_t p = 0; p < l_out; ++p) {
        float* y = out + p * C;
        for (int64_t o = 0; o < C; ++o) y[o] = 0.0f;
        for (int64_t tap = 0; tap < K; ++tap) {
            const int64_t q = p + pad - tap;
            if (q < 0) break;
            if (q % S != 0) continue;
            const int64_t t = q / S;
            if (t >= l) continue;
            const float* x = in + t * int64_t(cin);
            for (int64_t j = 0; j < groups; ++j) {
                const float* xg = x + j * cig;
                const float* w = wg + (j * K + tap) * cog * cig;
                float* yg = y + j * cog;
                for (int64_t o = 0; o < cog; ++o) {
                    const float* wo = w + o * cig;
                    float s = 0.0f;
                    for (int64_t c = 0; c < cig; ++c) s = std::fmaf(xg[c], wo[c], s);
                    yg[o] += s;
                }
            }
        }
        if (bias)
            for (int64_t o = 0; o < C; ++o) y[o] += bias[o];
    }
}

void conv_transpose1d_group_weights(const float* w, float* wg, int32_t cin, int32_t cout,
                                    int32_t k, int32_t groups) {
    const int64_t cig = cin / groups, cog = cout / groups, K = k;
    for (int64_t j = 0; j < groups; ++j)
        for (int64_t c = 0; c < cig; ++c)
            for (int64_t o = 0; o < cog; ++o)
                for (int64_t tap = 0; tap < K; ++tap)
                    wg[((j * K + tap) * cog + o) * cig + c] = w[((j * cig + c) * cog + o) * K + tap];
}

}  // namespace vantrel
