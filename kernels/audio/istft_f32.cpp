#include "kernels/audio/istft_f32.h"

#include <math.h>

#include <algorithm>

#include <vector>

#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

void istft_f32(const float* mag, const float* phase, int64_t t, int32_t n_fft, int32_t hop, bool normalized,
               float* out) {
    if (t < 1 || n_fft < 2 || hop < 1) return;
    const int64_t N = n_fft, half = N / 2, F = half + 1, M = N + (t - 1) * hop;
    std::vector<float> win(static_cast<size_t>(N)), ola(static_cast<size_t>(M), 0.0f), env(static_cast<size_t>(M), 0.0f);
    const float fn = float(N);
    for (int64_t n = 0; n < N; ++n) win[size_t(n)] = 0.5f * (1.0f - ::cosf(float(n) * (6.2831855f * (1.0f / fn))));
    const float step = 6.2831855f / fn, inv_n = 1.0f / fn, c = normalized ? 2.0f : 1.0f;
    // Frame f's windowed samples, ((1/N) * w[n]) * s, into dst[0 .. N).
    auto synth = [&](int64_t f, float* dst) {
        const float* m = mag + f * F;
        const float* ph = phase + f * F;
        const float dc = m[0] * ::cosf(ph[0]);
        for (int64_t n = 0; n < N; ++n) {
            float mid = 0.0f;
            for (int64_t k = 1; k < half; ++k) mid = mid + m[k] * ::cosf(ph[k] + float(k * n) * step);
            float s = dc + c * mid;
            s = s + m[half] * ::cosf(ph[half] + 3.1415927f * float(n));
            dst[n] = (inv_n * win[size_t(n)]) * s;
        }
    };
    // The frames' cosf sums, nearly all the time, are independent and run
    // over threads a block of frames at a time; the overlap-add stays in
    // frame order, so the output does not depend on the thread count.
    const int threads = (t < 2 || double(N) * double(N) * double(t) < 65536.0) ? 1 : strip_team();
    const int64_t block = std::min<int64_t>(t, std::max<int64_t>(int64_t(threads) * 8, (int64_t(1) << 20) / (N * 4)));
    std::vector<float> frames(size_t(block * N));
    for (int64_t f0 = 0; f0 < t; f0 += block) {
        const int64_t nb = std::min(block, t - f0);
        run_shares(nb, threads, [&](int64_t j0, int64_t j1) {
            for (int64_t j = j0; j < j1; ++j) synth(f0 + j, frames.data() + j * N);
        });
        for (int64_t j = 0; j < nb; ++j) {
            float* o = ola.data() + (f0 + j) * hop;
            float* e = env.data() + (f0 + j) * hop;
            const float* v = frames.data() + j * N;
            for (int64_t n = 0; n < N; ++n) {
                const float w = win[size_t(n)];
                o[n] = o[n] + v[n];
                e[n] = e[n] + w * w;
            }
        }
    }
    for (int64_t i = 0; i < M - 2 * half; ++i) {
        const float v = ola[size_t(i + half)];
        if (!normalized) {
            out[i] = v;
        } else {
            const float d = env[size_t(i + half)];
            out[i] = d > 1e-8f ? v / d : 0.0f;
        }
    }
}

}  // namespace vantrel
