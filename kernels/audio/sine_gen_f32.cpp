#include "kernels/audio/sine_gen_f32.h"

#include <math.h>

#include <vector>

#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {
constexpr double kTwoPi = 6.283185307179586;
// Box-Muller radius where the uniform draw is below 1e-7 (keeps logf finite).
constexpr float kNoiseRadiusCap = 5.6776924f;
constexpr float kUnvoicedNoise = 0.33333334f;

// The generator's state after n more steps. Its step is linear over GF(2)
// (shifts and xors), so it is a 64 x 64 bit matrix A, kept as its columns
// (column j = step of bit j alone); A^(2^b) for every b lets a thread start
// its rows at their own place in the sequence.
struct NoiseJump {
    uint64_t pow[64][64];
    NoiseJump() {
        for (int j = 0; j < 64; ++j) {
            uint64_t s = uint64_t(1) << j;
            (void)sine_noise_next(s);
            pow[0][j] = s;
        }
        for (int b = 1; b < 64; ++b)
            for (int j = 0; j < 64; ++j) pow[b][j] = apply(pow[b - 1], pow[b - 1][j]);
    }
    static uint64_t apply(const uint64_t* m, uint64_t v) {
        uint64_t r = 0;
        for (int j = 0; j < 64; ++j)
            if ((v >> j) & 1) r ^= m[j];
        return r;
    }
    uint64_t advance(uint64_t s, uint64_t n) const {
        for (int b = 0; n; ++b, n >>= 1)
            if (n & 1) s = apply(pow[b], s);
        return s;
    }
};
}  // namespace

void sine_gen_f32_direct(const float* f0, float* out, int64_t t, int32_t harmonics, int32_t sample_rate,
                         float amp, float threshold, float noise_std) {
    if (t <= 0 || harmonics <= 0 || sample_rate <= 0) return;
    const int64_t h = harmonics, total = t * h;
    const bool noise = noise_std > 0.0f;
    // The phases are a sequential but cheap first pass that leaves each
    // value's sine argument in `out`. The rest (the generator's draws, two
    // per value in row order, and the library calls sinf, logf, cosf, sqrtf)
    // runs over the rows in parallel: each thread starts the generator at
    // its first row's place, so every value sees the same draws and
    // operations whatever the thread count.
    {
        std::vector<double> phase(size_t(h), 0.0);
        const double inv_sr = 1.0 / double(sample_rate);
        for (int64_t i = 0; i < t; ++i) {
            const double step = double(f0[i]) * inv_sr;
            float* row = out + i * h;
            for (int64_t k = 1; k <= h; ++k) {
                double& p = phase[size_t(k - 1)];
                p = p + step * double(k);
                p = p - trunc(p);
                row[k - 1] = float(p * kTwoPi);
            }
        }
    }
    const float c = float(kTwoPi) * 2.3283064365386963e-10f;  // 2 pi * 2^-32
    auto finish = [&](int64_t i0, int64_t i1) {
        static const NoiseJump jump;
        uint64_t s = noise ? jump.advance(kSineNoiseSeed, 2 * uint64_t(i0) * uint64_t(h)) : 0;
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
                const uint32_t r1 = sine_noise_next(s), r2 = sine_noise_next(s);
                const float u1 = float(r1) * 2.3283064365386963e-10f;
                const float ang = cosf(c * float(r2));
                const float n = u1 < 1e-7f ? kNoiseRadiusCap * ang : sqrtf(-2.0f * logf(u1)) * ang;
                row[j] = sine + a * n;
            }
        }
    };
    const int team = total < 16384 ? 1 : strip_team();
    run_shares(t, team, finish);
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
    const int team = t < 4096 || h < 2 ? 1 : strip_team();
    run_shares(h, team, run);
}

}  // namespace vantrel
