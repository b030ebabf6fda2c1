// Harmonic sine source on the host: t samples of an f0 track in Hz become
// t rows of `harmonics` values (column k - 1 holds harmonic k).
//
// sine_gen_f32_direct: one running double-precision phase per harmonic,
// amp * sinf(2 pi phase) where f0 > voiced_threshold (else 0), plus, when
// noise_std > 0, Gaussian noise from a xorshift64* generator reseeded on
// every call (Box-Muller on two 32-bit draws per value).
// The phases and draws are taken in order on the calling thread; the
// library functions of 16384 values or more run split over threads.
//
// sine_gen_f32_upsampled: per harmonic, the normalised frequency
// fmod(f0 * k / sr, 1) is averaged down to d = t / upsample frames by linear
// interpolation, summed to a running phase, interpolated back to every
// sample and turned into amp * sinf(2 pi phase * upsample); no noise.
// Requires upsample >= 1 and t >= upsample (d >= 1); otherwise nothing is
// written. Harmonics are split over threads for t >= 4096; each harmonic is
// computed alone, so the thread count does not change the result.
//
// Both use the C library's sinf, cosf, logf, so they have one portable
// version only.
#pragma once
#include <cstdint>

namespace vantrel {

// The generator: state seed, then per draw s ^= s >> 12, s ^= s << 25,
// s ^= s >> 27, value = upper 32 bits of s * 0x2545F4914F6CDD1D.
constexpr uint64_t kSineNoiseSeed = 0x9E3779B97F4A7C15ull;
inline uint32_t sine_noise_next(uint64_t& s) {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return uint32_t((s * 0x2545F4914F6CDD1Dull) >> 32);
}

void sine_gen_f32_direct(const float* f0, float* out, int64_t t, int32_t harmonics,
                         int32_t sample_rate, float sine_amp, float voiced_threshold,
                         float noise_std);
void sine_gen_f32_upsampled(const float* f0, float* out, int64_t t, int32_t harmonics,
                            int32_t sample_rate, int32_t upsample, float sine_amp,
                            float voiced_threshold);

}  // namespace vantrel
