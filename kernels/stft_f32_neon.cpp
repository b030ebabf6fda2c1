// Four bins of a frame per register, bases transposed bin-minor.
#include <arm_neon.h>
#include <math.h>

#include "kernels/stft_bins_transposed.h"
#include "kernels/stft_f32.h"

namespace vantrel {

void stft_f32_neon(VANTREL_STFT_F32_ARGS) {
    const int64_t N = n_fft, F = N / 2 + 1, FP = (F + 3) / 4 * 4;
    const std::vector<float> tr = stft_bins_transposed(w_re, N, F, FP), ti = stft_bins_transposed(w_im, N, F, FP);
    std::vector<float> mag(static_cast<size_t>(FP)), re(static_cast<size_t>(FP)), im(static_cast<size_t>(FP));
    for (int64_t f = 0; f < frames; ++f) {
        const float* base = p + f * hop;
        for (int64_t k0 = 0; k0 < FP; k0 += 4) {
            float32x4_t ar = vdupq_n_f32(0.0f), ai = vdupq_n_f32(0.0f);
            for (int64_t n = 0; n < N; ++n) {
                const float32x4_t x = vdupq_n_f32(base[n]);
                ar = vfmaq_f32(ar, x, vld1q_f32(tr.data() + n * FP + k0));
                ai = vfmaq_f32(ai, x, vld1q_f32(ti.data() + n * FP + k0));
            }
            vst1q_f32(mag.data() + k0, vsqrtq_f32(vaddq_f32(vmulq_f32(ar, ar), vmulq_f32(ai, ai))));
            vst1q_f32(re.data() + k0, ar);
            vst1q_f32(im.data() + k0, ai);
        }
        float* row = out + f * 2 * F;
        for (int64_t k = 0; k < F; ++k) {
            row[k] = mag[size_t(k)];
            row[F + k] = ::atan2f(im[size_t(k)], re[size_t(k)]);
        }
    }
}

}  // namespace vantrel
