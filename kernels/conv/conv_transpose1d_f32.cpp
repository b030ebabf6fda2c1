#include "kernels/conv/conv_transpose1d_f32.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/gemm/gemm_f32.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

int64_t conv_transpose1d_out_length(int64_t l, int64_t k, int64_t stride, int64_t pad,
                                    int64_t output_padding) {
    if (l < 1) return 0;
    const int64_t n = (l - 1) * stride - 2 * pad + k + output_padding;
    return n < 0 ? 0 : n;
}

namespace {

// Output rows [p0, p1): zeroed, then for each tap in increasing order the
// product of the input rows landing there (into y, rows of C), added row by
// row, then the bias.
void transpose_taps_rows(const float* in, const float* const* taps, const float* bias, float* out, int64_t cin,
                         int64_t l, int64_t C, int64_t k, int64_t stride, int64_t pad, int64_t p0, int64_t p1,
                         float* y) {
    std::memset(out + p0 * C, 0, size_t((p1 - p0) * C) * sizeof(float));
    if (l > 0 && cin > 0) {
        for (int64_t tap = 0; tap < k; ++tap) {
            // Input rows t with p0 <= t*stride + tap - pad < p1.
            auto first_at = [&](int64_t p) {
                const int64_t q = p - tap + pad;
                return q <= 0 ? int64_t{0} : (q + stride - 1) / stride;
            };
            const int64_t t0 = std::min(l, first_at(p0)), t1 = std::min(l, first_at(p1));
            if (t0 >= t1) continue;
            gemm_f32_plain(in + t0 * cin, taps[tap], y, int32_t(t1 - t0), int32_t(cin), int32_t(C));
            for (int64_t t = t0; t < t1; ++t) {
                float* dst = out + (t * stride + tap - pad) * C;
                const float* src = y + (t - t0) * C;
                for (int64_t o = 0; o < C; ++o) dst[o] += src[o];
            }
        }
    }
    if (bias)
        for (int64_t p = p0; p < p1; ++p)
            for (int64_t o = 0; o < C; ++o) out[p * C + o] += bias[o];
}

}  // namespace

void conv_transpose1d_f32_taps(const float* in, const float* const* taps, const float* bias,
                               float* out, int32_t cin, int32_t l, int32_t cout, int32_t k,
                               int32_t stride, int32_t pad, int64_t l_out, float* y_tap) {
    if (l_out <= 0 || cout <= 0) return;
    const int64_t C = cout, S = stride > 0 ? stride : 1;
    // Threads take blocks of output rows: each row is finished by one
    // thread in the order above, so the split changes no bit. A team pays
    // from about a million multiply-adds.
    const int team = strip_team();
    const double work = double(l) * double(cin) * double(C) * double(k);
    if (team <= 1 || work < 1e6 || l_out < 4 * S * team) {
        transpose_taps_rows(in, taps, bias, out, cin, l, C, k, S, pad, 0, l_out, y_tap);
        return;
    }
    const int64_t blocks = 4 * int64_t(team), rows = (l_out + blocks - 1) / blocks;
    // A block's input rows per tap: at most rows/stride + 1.
    const int64_t per = (rows / S + 2) * C;
    std::vector<float> ys(size_t(team) * size_t(per));
    run_strips(blocks, team, [&](int64_t b, int worker) {
        const int64_t p0 = b * rows, p1 = std::min(l_out, p0 + rows);
        if (p0 < p1)
            transpose_taps_rows(in, taps, bias, out, cin, l, C, k, S, pad, p0, p1, ys.data() + worker * per);
    });
}

void conv_transpose1d_f32_grouped(const float* in, const float* wg, const float* bias, float* out,
                                  int32_t cin, int32_t l, int32_t cout, int32_t k, int32_t stride,
                                  int32_t pad, int32_t groups, int64_t l_out) {
    if (l_out <= 0 || cout <= 0 || groups <= 0) return;
    const int64_t cig = cin / groups, cog = cout / groups, C = cout, K = k, S = stride;
    auto rows = [&](int64_t p0, int64_t p1) {
        for (int64_t p = p0; p < p1; ++p) {
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
    };
    // Rows are independent, so any split of them gives the same result; a
    // team only pays on longer products.
    const double work = double(l_out) * double(C) * double(cig) * double(K) / double(S);
    const int team = work >= 65536.0 ? strip_team() : 1;
    run_shares(l_out, team, rows);
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
