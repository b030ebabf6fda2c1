// Inverse short-time Fourier transform by windowed overlap-add. Frames are
// synthesised over threads and added in frame order.
//
// N = n_fft (even), F = N/2 + 1, t frames of F magnitudes m and F phases ph,
// periodic Hann window w[n] = 0.5*(1 - cosf(n*(6.2831855*(1/N)))),
// M = N + (t - 1)*hop. For frame f and n < N:
//   s = m[0]*cosf(ph[0]) + c*mid + m[N/2]*cosf(ph[N/2] + 3.1415927*n)
//   mid = sum_{k=1}^{N/2-1} m[k]*cosf(ph[k] + (k*n)*(6.2831855/N))   (0 when N <= 3)
//   ola[f*hop + n] += ((1/N)*w[n]) * s,   env[f*hop + n] += w[n]*w[n]
// with c = 2 when normalized, else 1. Sums run left to right with separately
// rounded products. Output sample i < M - N: ola[i + N/2], divided by
// env[i + N/2] when normalized (0 where the envelope is at most 1e-8); not
// normalized, no division happens and the middle bins are not doubled
// (stored models depend on exactly this scaling).
//
// There is no vector version: the work is the math library's cosf per term,
// which a vector path could only replace by an approximation.
#pragma once
#include <cstdint>

namespace vantrel {

// mag, phase: t >= 1 rows of n_fft/2 + 1 floats; out: (t - 1)*hop floats.
void istft_f32(const float* mag, const float* phase, int64_t t, int32_t n_fft, int32_t hop, bool normalized,
               float* out);

}  // namespace vantrel
