// Sixteen bins of a frame per register, bases transposed bin-minor.
#include <immintrin.h>
#include <math.h>

#include "kernels/stft_bins_transposed.h"
#include "kernels/stft_f32.h"

namespace vantrel {

void stft_f32_avx512(VANTREL_STFT_F32_ARGS) {
    const int64_t N = n_fft, F = N / 2 + 1, FP = (F + 15) / 16 * 16;
    const std::vector<float> tr = stft_bins_transposed(w_re, N, F, FP), ti = stft_bins_transposed(w_im, N, F, FP);
    std::vector<float> mag(static_cast<size_t>(FP)), re(static_cast<size_t>(FP)), im(static_cast<size_t>(FP));
    for (int64_t f = 0; f < frames; ++f) {
        const float* base = p + f * hop;
        for (int64_t k0 = 0; k0 < FP; k0 += 16) {
            __m512 ar = _mm512_setzero_ps(), ai = _mm512_setzero_ps();
            for (int64_t n = 0; n < N; ++n) {
                const __m512 x = _mm512_set1_ps(base[n]);
                ar = _mm512_fmadd_ps(x, _mm512_loadu_ps(tr.data() + n * FP + k0), ar);
                ai = _mm512_fmadd_ps(x, _mm512_loadu_ps(ti.data() + n * FP + k0), ai);
            }
            const __m512 m = _mm512_sqrt_ps(_mm512_add_ps(_mm512_mul_ps(ar, ar), _mm512_mul_ps(ai, ai)));
            _mm512_storeu_ps(mag.data() + k0, m);
            _mm512_storeu_ps(re.data() + k0, ar);
            _mm512_storeu_ps(im.data() + k0, ai);
        }
        float* row = out + f * 2 * F;
        for (int64_t k = 0; k < F; ++k) {
            row[k] = mag[size_t(k)];
            row[F + k] = ::atan2f(im[size_t(k)], re[size_t(k)]);
        }
    }
}

}  // namespace vantrel
