#include "kernels/audio/sine_gen_f32.h"

#include <math.h>
#include <omp.h>

#include <vector>

#include "kernels/quantize.h"

namespace vantrel {

namespace {
constexpr double kTwoPi = 6.283185307179586;
// Box-Muller radius where the uniform draw is below 1e-7 (keeps logf finite).
constexpr float kNoiseRadiusCap = 5.6776924f;
constexpr float kUnvoicedNoise = 0.33333334f;
}  // namespace

void sine_gen_f32_direct(const float* f0, float* out, int64_t t, int32_t harmonics, int32_t sample_rate,
                         float amp, float threshold, float noise_std) {
    if (t <= 0 || harmonics <= 0 || sample_rate <= 0) return;
    const int64_t h = harmonics, total = t * h;
    const bool noise = noise_std > 0.0f;
    // The phases and the generator are sequential but cheap: a first pass
    // leaves each value's sine argument in `out` and its two draws in
    // `draws`. The library calls (sinf, logf, cosf, sqrtf), most of the
    // time, then run over the rows in parallel; every value sees the same
    // operations in either pass, so the thread count changes nothing.
    std::vector<uint64_t> draws(noise ? size_t(total) : 0);
    {
        std::vector<double> phase(size_t(h), 0.0);
        const double inv_sr = 1.0 / double(sample_rate);
        uint64_t s = kSineNoiseSeed;
        for (int64_t i = 0; i < t; ++i) {
            const double step = double(f0[i]) * inv_sr;
            float* row = out + i * h;
            for (int64_t k = 1; k <= h; ++k) {
                double& p = phase[size_t(k - 1)];
                p = p + step * double(k);
                p = p - trunc(p);
                row[k - 1] = float(p * kTwoPi);
                if (noise) {
                    const uint64_t r1 = sine_noise_next(s);
                    draws[size_t(i * h + k - 1)] = (r1 << 32) | sine_noise_next(s);
                }
            }
        }
    }
    const float c = float(kTwoPi) * 2.3283064365386963e-10f;  // 2 pi * 2^-32
    auto finish = [&](int64_t i0, int64_t i1) {
        for (int64_t i = i0; i < i1; ++i) {
            const bool voiced = f0[i] > threshold;
            float* row = out + i * h;
            for (int64_t j = 0; j < h; ++j) {
                const float sine = voiced ? amp * sinf(row[j]) : 0.0f;
                if (!noise) {
                    row[j] = sine;
                    continue;
                }
                const float a = voiced ? noise_std : amp * kUnvoicedNoise;
                const uint64_t d = draws[size_t(i * h + j)];
                const float u1 = float(uint32_t(d >> 32)) * 2.3283064365386963e-10f;
                const float ang = cosf(c * float(uint32_t(d)));
                const float n = u1 < 1e-7f ? kNoiseRadiusCap * ang : sqrtf(-2.0f * logf(u1)) * ang;
                row[j] = sine + a * n;
            }
        }
    };
    if (total < 16384 || omp_in_parallel() || omp_get_max_threads() <= 1) {
        finish(0, t);
        return;
    }
#pragma omp parallel num_threads(omp_get_max_threads())
    {
        const SplitRange r = balanced_split(t, omp_get_num_threads(), omp_get_thread_num());
        finish(r.begin, r.end);
    }
}

namespace {

// One harmonic k of the upsampled path; rad and cum are the caller's
// buffers of t and d floats.
void sine_harmonic_upsampled(const float* f0, float* out, int64_t t, int64_t h, int64_t k, float inv_sr,
                             int32_t upsample, float amp, float threshold, std::vector<float>& rad,
                             std::vector<float>& cum) {
    const int64_t d = t / upsample;
    const float kf = float(k) * inv_sr;
    for (int64_t i = 0; i < t; ++i) {
        float r = fmodf(f0[i] * kf, 1.0f);
        if (r < 0.0f) r = r + 1.0f;
        rad[size_t(i)] = r;
    }
    const float u = float(upsample);
    auto clamp_t = [t](int64_t i) { return i < 0 ? int64_t{0} : (i > t - 1 ? t - 1 : i); };
    float run = 0.0f;
    for (int64_t i = 0; i < d; ++i) {
        const float centre = (float(i) + 0.5f) * u;
        const float s = centre - 0.5f;
        const int64_t i0 = int64_t(s);  // s >= 0: truncation is floor
        const float w = s - float(i0);
        const float wl = (float(i0) + 1.5f) - centre;
        const float v = w * rad[size_t(clamp_t(i0 + 1))] + wl * rad[size_t(clamp_t(i0))];
        run = run + v;
        cum[size_t(i)] = run;
    }
    const float inv_u = 1.0f / u;
    auto clamp_d = [d](int64_t i) { return i < 0 ? int64_t{0} : (i > d - 1 ? d - 1 : i); };
    for (int64_t i = 0; i < t; ++i) {
        float y = 0.0f;
        if (f0[i] > threshold) {
            const float ti = float(i) + 0.5f;
            const float s = fmaf(ti, inv_u, -0.5f);
            const float fl = floorf(s);
            const int64_t i0 = int64_t(fl);
            const float w = s - fl;
            const float wl = (fl + 1.5f) - ti * inv_u;
            const float v = w * cum[size_t(clamp_d(i0 + 1))] + wl * cum[size_t(clamp_d(i0))];
            y = amp * sinf(float(double(v * u) * kTwoPi));
        }
        out[i * h + (k - 1)] = y;
    }
}

}  // namespace

void sine_gen_f32_upsampled(const float* f0, float* out, int64_t t, int32_t harmonics, int32_t sample_rate,
                            int32_t upsample, float amp, float threshold) {
    if (t <= 0 || harmonics <= 0 || sample_rate <= 0 || upsample < 1 || t / upsample < 1) return;
    const int64_t h = harmonics, d = t / upsample;
    const float inv_sr = 1.0f / float(sample_rate);
    auto run = [&](int64_t k0, int64_t k1) {
        std::vector<float> rad(static_cast<size_t>(t)), cum(static_cast<size_t>(d));
        for (int64_t k = k0; k < k1; ++k)
            sine_harmonic_upsampled(f0, out, t, h, k + 1, inv_sr, upsample, amp, threshold, rad, cum);
    };
    if (t < 4096 || h < 2 || omp_in_parallel() || omp_get_max_threads() <= 1) {
        run(0, h);
        return;
    }
#pragma omp parallel num_threads(omp_get_max_threads())
    {
        const SplitRange s = balanced_split(h, omp_get_num_threads(), omp_get_thread_num());
        if (s.begin < s.end) run(s.begin, s.end);
    }
}

}  // namespace vantrel
