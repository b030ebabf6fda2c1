#include "kernels/conv/conv1d_s8.h"

#include <cmath>
#include <cstring>

#include "kernels/gemm/gemm_s8.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {

// Quantises padded rows [r0, r1); rows outside the signal are zero rows.
void quantise_padded_rows(const float* in, int64_t l, int64_t cin, int64_t pad, int64_t r0,
                          int64_t r1, int8_t* codes, float* row_scale) {
    for (int64_t r = r0; r < r1; ++r) {
        const int64_t src = r - pad;
        int8_t* q = codes + r * cin;
        if (src < 0 || src >= l) {
            std::memset(q, 0, size_t(cin));
            row_scale[r] = kConv1dZeroRowScale;
        } else {
            row_scale[r] = quantize_row_symmetric(in + src * cin, q, int(cin));
        }
    }
}

// Folds tap k's products of output rows [t0, t1) into the output.
void fold_tap(const float* p, const float* row_scale, const float* bias, float* out, int64_t t0,
              int64_t t1, int64_t cout, int64_t k, int64_t dilation) {
    for (int64_t t = t0; t < t1; ++t) {
        const float s = row_scale[t + k * dilation];
        float* y = out + t * cout;
        if (k == 0) {
            // P_0 was written into the output itself.
            if (bias)
                for (int64_t o = 0; o < cout; ++o) y[o] = std::fmaf(s, y[o], bias[o]);
            else
                for (int64_t o = 0; o < cout; ++o) y[o] = s * y[o];
        } else {
            const float* pr = p + t * cout;
            for (int64_t o = 0; o < cout; ++o) y[o] = std::fmaf(s, pr[o], y[o]);
        }
    }
}

}  // namespace

void conv1d_s8_per_tap(const float* in, int64_t l, int32_t cin, int32_t pad,
                       const int8_t* const* taps, const float* w_scale, const int64_t* zero_bias,
                       const float* bias, float* out, int32_t l_out, int32_t cout, int32_t k,
                       int32_t dilation, int8_t* codes, float* row_scale, float* tap_out) {
    if (l_out <= 0 || cout <= 0 || cin <= 0 || k <= 0) return;
    const int64_t rows = l + 2 * int64_t(pad);

    // Rows quantised, then per tap the product (shared by the GEMM itself)
    // and each share of output rows folding it in.
    const int T = strip_team();
    auto shares = [&](auto&& fn) {
        run_strips(T, T, [&](int64_t t, int) { fn(int(t)); });
    };
    run_shares(rows, T, [&](int64_t r0, int64_t r1) {
        quantise_padded_rows(in, l, cin, pad, r0, r1, codes, row_scale);
    });
    for (int32_t tap = 0; tap < k; ++tap) {
        float* dst = tap == 0 ? out : tap_out;
        gemm_s8_f32out(codes + int64_t(tap) * dilation * cin, taps[tap], zero_bias, w_scale, dst, l_out, cin, cout,
                       false, false);
        shares([&](int t) {
            const SplitRange own = proportional_split(l_out, T, t);
            fold_tap(tap_out, row_scale, bias, out, own.begin, own.end, cout, tap, dilation);
        });
    }
}

void conv1d_s8_im2col(const float* in, int64_t l, int32_t cin, const int8_t* const* group_blocks,
                      const float* w_scale, const int64_t* zero_bias, const float* bias,
                      const int32_t* weight_sums, float* out, int32_t l_out, int32_t cout,
                      int32_t k, int32_t stride, int32_t pad, int32_t dilation, int32_t groups,
                      float* cols, int8_t* codes, float* sbuf, float* group_out) {
    if (l_out <= 0 || cout <= 0 || cin <= 0 || k <= 0 || groups <= 0) return;
    const int64_t cg = cin / groups, cog = cout / groups, row = int64_t(k) * cg;
    const size_t block_bytes = size_t(cg) * sizeof(float);
    for (int64_t j = 0; j < groups; ++j) {
        for (int64_t t = 0; t < l_out; ++t) {
            float* c = cols + t * row;
            for (int64_t tap = 0; tap < k; ++tap) {
                const int64_t src = t * stride + tap * dilation - pad;
                if (src < 0 || src >= l) std::memset(c + tap * cg, 0, block_bytes);
                else std::memcpy(c + tap * cg, in + src * cin + j * cg, block_bytes);
            }
        }
        float* dst = groups == 1 ? out : group_out;
        gemm_s8_dynamic(cols, group_blocks[j], w_scale + j * cog, zero_bias + j * cog,
                        bias ? bias + j * cog : nullptr, codes, sbuf, dst, l_out, int32_t(row),
                        int32_t(cog), weight_sums ? weight_sums + j * cog : nullptr);
        if (groups == 1) break;
        for (int64_t t = 0; t < l_out; ++t)
            std::memcpy(out + t * cout + j * cog, group_out + t * cog, size_t(cog) * sizeof(float));
    }
}

}  // namespace vantrel
