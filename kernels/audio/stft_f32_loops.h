// The STFT of stft_f32.h on a lane struct Ln (lanes_f32_*.h): one register
// holds Ln::L bins of a frame, with the bases turned bin-minor so each term
// is one load per basis.
//
// Unnamed namespace: each instruction-set file keeps its own copy.
#pragma once
#include <math.h>

#include <cstdint>
#include <vector>

#include "kernels/audio/stft_f32.h"

namespace vantrel {
namespace {

// t[n][k] = w[k][n] for k < F, zero for F <= k < fp (fp a multiple of the
// register width).
inline std::vector<float> stft_bins_transposed(const float* w, int64_t n_fft, int64_t bins, int64_t fp) {
    std::vector<float> t(size_t(n_fft * fp), 0.0f);
    for (int64_t k = 0; k < bins; ++k)
        for (int64_t n = 0; n < n_fft; ++n) t[size_t(n * fp + k)] = w[k * n_fft + n];
    return t;
}

template <class Ln>
void stft_f32_lanes(VANTREL_STFT_F32_ARGS) {
    using V = typename Ln::V;
    constexpr int64_t L = Ln::L;
    const int64_t N = n_fft, F = N / 2 + 1, FP = (F + L - 1) / L * L;
    const std::vector<float> tr = stft_bins_transposed(w_re, N, F, FP), ti = stft_bins_transposed(w_im, N, F, FP);
    std::vector<float> mag(static_cast<size_t>(FP)), re(static_cast<size_t>(FP)), im(static_cast<size_t>(FP));
    for (int64_t f = 0; f < frames; ++f) {
        const float* base = p + f * hop;
        for (int64_t k0 = 0; k0 < FP; k0 += L) {
            V ar = Ln::zero(), ai = Ln::zero();
            for (int64_t n = 0; n < N; ++n) {
                const V x = Ln::set1(base[n]);
                ar = Ln::fmadd(x, Ln::load(tr.data() + n * FP + k0), ar);
                ai = Ln::fmadd(x, Ln::load(ti.data() + n * FP + k0), ai);
            }
            Ln::store(mag.data() + k0, Ln::sqrt(Ln::add(Ln::mul(ar, ar), Ln::mul(ai, ai))));
            Ln::store(re.data() + k0, ar);
            Ln::store(im.data() + k0, ai);
        }
        float* row = out + f * 2 * F;
        for (int64_t k = 0; k < F; ++k) {
            row[k] = mag[size_t(k)];
            row[F + k] = ::atan2f(im[size_t(k)], re[size_t(k)]);
        }
    }
}

}  // namespace
}  // namespace vantrel
