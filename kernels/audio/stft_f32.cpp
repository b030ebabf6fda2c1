#include "kernels/audio/stft_f32.h"

#include <math.h>

#include <algorithm>
#include <cmath>

#include "kernels/parallel/strip_pool.h"

namespace vantrel {

void stft_hann_basis_f32(int32_t n_fft, float* w_re, float* w_im) {
    const int32_t N = n_fft, F = N / 2 + 1;
    const float fn = float(N);
    for (int32_t n = 0; n < N; ++n) {
        const float w = 0.5f * (1.0f - ::cosf((6.2831855f * float(n)) / fn));
        for (int32_t k = 0; k < F; ++k) {
            const float a = ((float(k) * 6.2831855f) * float(n)) / fn;
            w_re[int64_t(k) * N + n] = w * ::cosf(a);
            w_im[int64_t(k) * N + n] = -w * ::sinf(a);
        }
    }
}

void stft_pad_edges_f32(const float* x, int64_t s, int32_t half, float* p) {
    for (int64_t i = 0; i < s + 2 * int64_t(half); ++i) {
        int64_t j = i - half;
        j = j < 0 ? 0 : (j >= s ? s - 1 : j);
        p[i] = x[j];
    }
}

void stft_f32_blocks(StftF32Fn fn, VANTREL_STFT_F32_ARGS) {
    if (frames <= 0 || n_fft <= 0) return;
    // A block's atan2f calls take some 50 us, enough to pay for a team.
    constexpr int64_t kFrames = 256;
    const int64_t F = int64_t(n_fft) / 2 + 1, blocks = (frames + kFrames - 1) / kFrames;
    run_strips(blocks, strip_team(), [&](int64_t b, int) {
        const int64_t f0 = b * kFrames;
        fn(p + f0 * hop, std::min(kFrames, frames - f0), hop, w_re, w_im, n_fft, out + f0 * 2 * F);
    });
}

void stft_f32_portable(VANTREL_STFT_F32_ARGS) {
    const int64_t N = n_fft, F = N / 2 + 1;
    for (int64_t f = 0; f < frames; ++f) {
        const float* base = p + f * hop;
        float* row = out + f * 2 * F;
        for (int64_t k = 0; k < F; ++k) {
            float re = 0.0f, im = 0.0f;
            for (int64_t n = 0; n < N; ++n) {
                re = std::fmaf(base[n], w_re[k * N + n], re);
                im = std::fmaf(base[n], w_im[k * N + n], im);
            }
            row[k] = ::sqrtf(re * re + im * im);
            row[F + k] = ::atan2f(im, re);
        }
    }
}

}  // namespace vantrel
